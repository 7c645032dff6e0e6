// File manager.
