// Placeholder so the terminal library has a source until its first unit lands.
