// libvelmora_runtime is made of static archives only (cmake/VelmoraRuntime.cmake); the linker
// wants one object of the library's own.
