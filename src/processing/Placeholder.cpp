// Placeholder so the processing library has a source until its first unit lands.
