// Preloaded (LD_PRELOAD) into zindle-cli by tst_stall: a lookup of a name
// ending in ".hang.invalid" never answers, like a resolver whose name server
// has gone silent, and says so on standard error first; every other name goes
// to the system's getaddrinfo(), and so does a numeric-only lookup
// (AI_NUMERICHOST), which never asks a name server. Links nothing but the C
// library.
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **result)
{
    static const char suffix[] = ".hang.invalid";
    const bool numericOnly = hints && (hints->ai_flags & AI_NUMERICHOST);
    const size_t length = node && !numericOnly ? strlen(node) : 0;
    if (length >= sizeof suffix - 1 && strcmp(node + length - (sizeof suffix - 1), suffix) == 0) {
        static const char line[] = "resolver holds the lookup\n";
        if (write(STDERR_FILENO, line, sizeof line - 1) < 0) {
        }
        for (;;)
            pause();
    }
    using Function = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto next = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return next ? next(node, service, hints, result) : EAI_FAIL;
}
