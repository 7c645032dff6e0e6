// Standard command library.
