// AddressSanitizer's defaults for every target. Each packet the parser
// completes is a fresh heap block; with the default quarantine of 256 MB
// those freed blocks alone held the fuzzers at ~460 MB. A small quarantine
// still catches a use after free of the blocks just released.
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=4:malloc_context_size=4";
}
