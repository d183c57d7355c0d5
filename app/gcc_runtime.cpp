// Lean replacements for parts of the GNU C++ runtime, linked into the
// installer only. Nothing in the installer catches an exception: a failing
// allocation or string operation ends the process either way. Ending it here
// directly keeps the runtime's exception machinery, its thread library and
// a symbol demangler (together some 55 KB) out of the executable.
#include <cstdlib>

namespace __gnu_cxx {
// The default handler prints the escaping exception's demangled type to
// stderr, which a GUI process does not have.
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { std::abort(); }
void __throw_bad_array_new_length() { std::abort(); }
void __throw_length_error(const char*) { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
}  // namespace std
