// Taking on the identity of the service folder's owner before an administrator's command run
// as root reads or creates anything there. The folder belongs to the service's user, so
// whoever has that account can change the INI file or plant links in it; root following
// them would open devices or create files anywhere. Called on the main thread at the start of
// the command, before any other thread exists.
#pragma once

#include <string>

namespace qvx {

// As root: switches the whole process to the owner of dir, with that user's group and
// supplementary groups (dialout for the port), for good. Does nothing for any other user or
// a folder that root owns. False with the reason in error when the switch cannot be made; the
// caller must then stop.
bool BecomeFolderOwner(const std::string& dir, std::string& error);

} // namespace qvx
