// The one export macro of the library. Everything the library exports carries
// TAMRIX_API; the build hides every other symbol. TAMRIX_STATIC is for code
// linked with the library's objects directly (the white-box tests).
#pragma once

#if defined(_WIN32)
#  if defined(TAMRIX_STATIC)
#    define TAMRIX_API
#  elif defined(TAMRIX_BUILDING)
#    define TAMRIX_API __declspec(dllexport)
#  else
#    define TAMRIX_API __declspec(dllimport)
#  endif
#else
#  define TAMRIX_API __attribute__((visibility("default")))
#endif
