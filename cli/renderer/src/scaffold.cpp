// Scaffolding until this module's sources land; delete it then.
