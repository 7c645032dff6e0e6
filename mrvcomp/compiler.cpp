// Compiler.
