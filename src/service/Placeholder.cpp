// Placeholder so the service library has a source until its first unit lands.
