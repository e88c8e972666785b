// The library's version text, so the shared library always has one object of its own.
extern "C" const char* MediaFileSystemVersion() { return "1.0.0"; }
