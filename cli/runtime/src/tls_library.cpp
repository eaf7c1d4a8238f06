// libvelmora_tls.so is OpenSSL's static archives, linked whole and exporting only what
// tls_functions.cpp forwards to; CMake wants a source file for the library, and this is it.
