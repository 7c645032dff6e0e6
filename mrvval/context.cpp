// Value manager.
