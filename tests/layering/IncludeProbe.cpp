// One include named by the build (QVX_PROBE_HEADER): compiled against a library to show which
// headers that library's users can reach.
#include QVX_PROBE_HEADER
