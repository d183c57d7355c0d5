// The GNU runtime's default terminate handler prints the demangled type of an
// escaping exception to stderr, which a GUI process does not have; it also
// pulls some 45 KB of demangler into the executable. This one just aborts.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
