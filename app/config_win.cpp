#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/config.h"

#if defined(__MINGW32__) && !defined(_UCRT)
// mingw's msvcrt import library lacks _dupenv_s: a small stand-in on getenv.
static errno_t zarvex_dupenv_s(char** buffer, size_t* length, const char* name) {
    *buffer = nullptr;
    if (length) *length = 0;
    const char* v = std::getenv(name);
    if (!v) return 0;
    size_t n = std::strlen(v) + 1;
    *buffer = static_cast<char*>(std::malloc(n));
    if (!*buffer) return ENOMEM;
    std::memcpy(*buffer, v, n);
    if (length) *length = n;
    return 0;
}
#define ZARVEX_DUPENV zarvex_dupenv_s
#else
#define ZARVEX_DUPENV _dupenv_s
#endif

std::string app_data_folder() {
    char* value = nullptr;
    size_t length = 0;
    std::string folder = ".";
    if (ZARVEX_DUPENV(&value, &length, "APPDATA") == 0 && value) folder = value;
    std::free(value);
    return folder;
}
