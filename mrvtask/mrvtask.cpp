// Runtime services.
