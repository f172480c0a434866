// Linked into every program of a sanitized build (VELLORAN_SANITIZE), and
// only there. A report must fail the run, never scroll past: each program
// stops at its first one, by abort, so the status alone shows it. Settings in
// the environment (ASAN_OPTIONS and the like) still take precedence.

extern "C" {

// The sanitizer runtimes look these up by name.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
const char* __asan_default_options() {
    return "halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1";
}

const char* __ubsan_default_options() {
    return "halt_on_error=1:abort_on_error=1:print_stacktrace=1";
}

const char* __tsan_default_options() {
    return "halt_on_error=1:abort_on_error=1:second_deadlock_stack=1";
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}
