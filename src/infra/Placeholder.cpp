// Placeholder so the infra library has a source until its first unit lands.
