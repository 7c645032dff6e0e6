// Execution manager.
