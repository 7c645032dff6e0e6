// Placeholder until the region allocator lands.
