/* Preloaded into a SANE client in the tests: SANE's net backend reaches saned
 * only on the well-known port 6566, while each test runs its saned on a free
 * loopback port of its own (TARN_SANED_PORT). Addresses looked up for 6566 are
 * given that port instead. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

enum { kSanePort = 6566 };

typedef int (*Lookup)(const char *, const char *, const struct addrinfo *, struct addrinfo **);

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                struct addrinfo **res) {
    void *symbol = dlsym(RTLD_NEXT, "getaddrinfo");
    Lookup real;
    memcpy(&real, &symbol, sizeof real); /* a data pointer to a function: not a cast in ISO C */
    const int rc = real(node, service, hints, res);
    const char *text = getenv("TARN_SANED_PORT");
    if (rc != 0 || text == NULL) return rc;
    const uint16_t port = htons((uint16_t)atoi(text));
    for (struct addrinfo *a = *res; a != NULL; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            struct sockaddr_in *in = (struct sockaddr_in *)a->ai_addr;
            if (in->sin_port == htons(kSanePort)) in->sin_port = port;
        } else if (a->ai_family == AF_INET6) {
            struct sockaddr_in6 *in6 = (struct sockaddr_in6 *)a->ai_addr;
            if (in6->sin6_port == htons(kSanePort)) in6->sin6_port = port;
        }
    }
    return rc;
}
