// Sound library stand-in.
