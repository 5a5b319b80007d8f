// The module binary: everything it holds comes from the CorvaneCore and HalyardCommon libraries,
// linked whole so that the class registration made at load and the export
// GetComponentsModuleObject are kept.
