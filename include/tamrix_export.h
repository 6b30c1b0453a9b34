// The one export macro of the library. Everything the library exports carries
// TAMRIX_API; the build hides every other symbol.
#pragma once

#if defined(_WIN32)
#  if defined(TAMRIX_BUILDING)
#    define TAMRIX_API __declspec(dllexport)
#  else
#    define TAMRIX_API __declspec(dllimport)
#  endif
#else
#  define TAMRIX_API __attribute__((visibility("default")))
#endif
