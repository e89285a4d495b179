// Placeholder so the gsmsim library has a source until its first unit lands.
