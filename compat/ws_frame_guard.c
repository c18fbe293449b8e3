/* WebSocket frame guard for CivetWeb 1.15. When a client frame's header announces its payload
 * length, CivetWeb allocates that many bytes at once, before any of the payload has arrived, for
 * lengths up to almost 2 GiB: a page (or any local process) could make every worker thread hold
 * gigabytes and then fill them. CivetWeb has no option that bounds a frame, and it reads through
 * the SSL_read it looks up in this library, so the bound is kept here, at the one place where the
 * plain text passes before CivetWeb sees it.
 *
 * Per TLS connection (state kept in the SSL object's ex_data):
 *  - until the server writes "HTTP/1.1 101 " the connection speaks HTTP, and no read hands CivetWeb
 *    bytes past the end of a header section ("\r\n\r\n"): the text of the next request, or the
 *    frames a client sends right behind its handshake, is held back here instead of being pulled
 *    into CivetWeb's request buffer unseen by the guard (a shorter read is always allowed on a
 *    stream, so HTTP is not affected). The held bytes are handed out by the next reads, through the
 *    same checks, and SSL_pending counts them, so CivetWeb does not wait on the socket for bytes that
 *    are already here. One TLS read per call: looking ahead with SSL_peek would cost a second;
 *  - after the handshake answer every byte read is followed through the frame headers, and the read
 *    that would complete a header announcing more than NV_WS_MAX_FRAME_BYTES fails instead, as do
 *    all later reads: CivetWeb treats it as a TLS error and closes the connection without
 *    allocating anything.
 *
 * The same refusal carries the daemon's deadline for a request body. CivetWeb's request time-out
 * only counts silence: a body that arrives a byte every few seconds keeps its worker for as long as
 * it drips. While the daemon reads a body it sets a deadline for the reading thread
 * (NV_SetSslReadDeadline); a read on that thread past the deadline fails like a refused frame, and
 * so does every later read of that connection, so CivetWeb ends it. */
#define _GNU_SOURCE /* memmem */
#include <dlfcn.h>
#include <limits.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* The same bound as for an HTTP request body. */
#define NV_WS_MAX_FRAME_BYTES (64ULL * 1024 * 1024)

__attribute__((visibility("default"))) int SSL_read(SSL* ssl, void* buf, int num);
__attribute__((visibility("default"))) int SSL_write(SSL* ssl, const void* buf, int num);
__attribute__((visibility("default"))) int SSL_pending(const SSL* ssl);
__attribute__((visibility("default"))) int SSL_has_pending(const SSL* ssl);
/* Deadline for the calling thread's reads, in milliseconds of CLOCK_MONOTONIC; 0 clears it. */
__attribute__((visibility("default"))) void NV_SetSslReadDeadline(long long monotonicMs);

typedef int (*PFN_SSL_READ)(SSL*, void*, int);
typedef int (*PFN_SSL_WRITE)(SSL*, const void*, int);
typedef int (*PFN_SSL_PENDING)(const SSL*);

enum { kModeHttp = 0, kModeWebSocket = 1, kModeRefused = 2 };

struct WsGuard {
    int mode;
    /* HTTP: the last (up to 3) bytes handed out, so that a "\r\n\r\n" split between reads is found. */
    unsigned char tail[3];
    size_t tailLen;
    /* WebSocket: the header of the current frame as far as it has been read, and the payload bytes
     * still to come before the next header. */
    unsigned char head[10];
    size_t headLen;
    uint64_t payloadLeft;
    /* Bytes read from TLS but not handed out yet: held[heldOff, heldOff + heldLen). They carry request
     * text, so they are wiped as they are handed out and the buffer when it is released. */
    unsigned char* held;
    size_t heldOff;
    size_t heldLen;
    size_t heldCap;
};

static pthread_once_t s_once = PTHREAD_ONCE_INIT;
/* Each CivetWeb worker reads its connection on its own thread, so the deadline is per thread. */
static __thread long long t_readDeadlineMs;
static int s_exIndex = -1;
static PFN_SSL_READ s_realRead;
static PFN_SSL_WRITE s_realWrite;
static PFN_SSL_PENDING s_realPending;
static PFN_SSL_PENDING s_realHasPending;

static void FreeGuard(void* parent, void* ptr, CRYPTO_EX_DATA* ad, int idx, long argl, void* argp) {
    (void)parent;
    (void)ad;
    (void)idx;
    (void)argl;
    (void)argp;
    struct WsGuard* guard = (struct WsGuard*)ptr;
    if (guard != NULL && guard->held != NULL) {
        OPENSSL_cleanse(guard->held, guard->heldCap);
        free(guard->held);
    }
    free(guard);
}

static void InitOnce(void) {
    /* The real functions come from the libssl.so.3 this library depends on (already loaded with
     * it); a plain call to SSL_read from here would reach the definition below again. */
    void* real = dlopen("libssl.so.3", RTLD_NOW | RTLD_NOLOAD);
    if (real != NULL) {
        /* dlsym hands out functions as object pointers; copying the bits is the portable way. */
        void* readFn = dlsym(real, "SSL_read");
        void* writeFn = dlsym(real, "SSL_write");
        void* pendingFn = dlsym(real, "SSL_pending");
        void* hasPendingFn = dlsym(real, "SSL_has_pending");
        if (readFn != NULL && writeFn != NULL && pendingFn != NULL && hasPendingFn != NULL) {
            memcpy(&s_realRead, &readFn, sizeof(s_realRead));
            memcpy(&s_realWrite, &writeFn, sizeof(s_realWrite));
            memcpy(&s_realPending, &pendingFn, sizeof(s_realPending));
            memcpy(&s_realHasPending, &hasPendingFn, sizeof(s_realHasPending));
        }
        /* The reference is kept: the library stays loaded for the life of the process anyway. */
    }
    s_exIndex = SSL_get_ex_new_index(0, NULL, NULL, NULL, FreeGuard);
}

/* The connection's state, made on first use; NULL when none can be kept (no index, no memory). */
static struct WsGuard* GuardOf(SSL* ssl) {
    if (s_exIndex < 0 || ssl == NULL)
        return NULL;
    struct WsGuard* guard = (struct WsGuard*)SSL_get_ex_data(ssl, s_exIndex);
    if (guard != NULL)
        return guard;
    guard = (struct WsGuard*)calloc(1, sizeof(*guard));
    if (guard == NULL)
        return NULL;
    if (SSL_set_ex_data(ssl, s_exIndex, guard) != 1) {
        free(guard);
        return NULL;
    }
    return guard;
}

static size_t HeaderEnd(const struct WsGuard* guard, const unsigned char* data, size_t n);

/* The connection's state when it has one; never makes it. */
static struct WsGuard* ExistingGuard(const SSL* ssl) {
    if (s_exIndex < 0 || ssl == NULL)
        return NULL;
    return (struct WsGuard*)SSL_get_ex_data(ssl, s_exIndex);
}

/* Holds bytes that were read but may not be handed out yet; 0, or -1 when there is no memory. Only
 * called when nothing is held. */
static int Hold(struct WsGuard* guard, const unsigned char* data, size_t n) {
    if (n > guard->heldCap) {
        unsigned char* bigger = (unsigned char*)malloc(n);
        if (bigger == NULL)
            return -1;
        if (guard->held != NULL) {
            OPENSSL_cleanse(guard->held, guard->heldCap);
            free(guard->held);
        }
        guard->held = bigger;
        guard->heldCap = n;
    }
    memcpy(guard->held, data, n);
    guard->heldOff = 0;
    guard->heldLen = n;
    return 0;
}

/* Hands out up to num held bytes into buf (in HTTP, no further than a header section's end). */
static size_t GiveHeld(struct WsGuard* guard, unsigned char* buf, size_t num) {
    const unsigned char* from = guard->held + guard->heldOff;
    size_t n = guard->heldLen < num ? guard->heldLen : num;
    if (guard->mode == kModeHttp)
        n = HeaderEnd(guard, from, n);
    memcpy(buf, from, n);
    OPENSSL_cleanse(guard->held + guard->heldOff, n);
    guard->heldOff += n;
    guard->heldLen -= n;
    if (guard->heldLen == 0)
        guard->heldOff = 0;
    return n;
}

/* A failed read as OpenSSL reports one: SSL_get_error then gives SSL_ERROR_SSL, which CivetWeb
 * answers by closing the connection. */
static int Refuse(struct WsGuard* guard) {
    if (guard != NULL)
        guard->mode = kModeRefused;
    ERR_raise(ERR_LIB_SSL, SSL_R_DATA_LENGTH_TOO_LONG);
    return -1;
}

/* Number of bytes of `data` up to and including the first "\r\n\r\n" that ends inside it, counting
 * the bytes handed out before it; n when there is none. */
static size_t HeaderEnd(const struct WsGuard* guard, const unsigned char* data, size_t n) {
    static const unsigned char kEnd[4] = {'\r', '\n', '\r', '\n'};
    /* An end that begins in the (up to 3) bytes handed out before ends in the first 3 of these. */
    if (guard->tailLen > 0) {
        unsigned char joint[6];
        const size_t head = n < 3 ? n : 3;
        memcpy(joint, guard->tail, guard->tailLen);
        memcpy(joint + guard->tailLen, data, head);
        for (size_t i = 0; i + 4 <= guard->tailLen + head; ++i)
            if (memcmp(joint + i, kEnd, 4) == 0)
                return i + 4 - guard->tailLen;
    }
    const unsigned char* found = (const unsigned char*)memmem(data, n, kEnd, 4);
    return found != NULL ? (size_t)(found - data) + 4 : n;
}

static void KeepTail(struct WsGuard* guard, const unsigned char* data, size_t n) {
    if (n >= 3) {
        memcpy(guard->tail, data + n - 3, 3);
        guard->tailLen = 3;
        return;
    }
    size_t keep = guard->tailLen + n > 3 ? 3 - n : guard->tailLen;
    memmove(guard->tail, guard->tail + guard->tailLen - keep, keep);
    memcpy(guard->tail + keep, data, n);
    guard->tailLen = keep + n;
}

/* Follows the frame headers through bytes about to be handed out. 0 when they may go; -1 when a
 * header among them announces too long a payload (decided as soon as its length field is
 * complete, before CivetWeb has the whole header). */
static int FollowFrames(struct WsGuard* guard, const unsigned char* data, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (guard->payloadLeft > 0) {
            uint64_t skip = guard->payloadLeft;
            if (skip > n - i)
                skip = n - i;
            guard->payloadLeft -= skip;
            i += (size_t)skip;
            continue;
        }
        guard->head[guard->headLen++] = data[i++];
        if (guard->headLen < 2)
            continue;
        const unsigned len7 = guard->head[1] & 0x7Fu;
        const size_t lengthEnd = len7 == 126 ? 4 : (len7 == 127 ? 10 : 2);
        if (guard->headLen < lengthEnd)
            continue;
        uint64_t length = len7;
        if (len7 >= 126) {
            length = 0;
            for (size_t k = 2; k < lengthEnd; ++k)
                length = (length << 8) | guard->head[k];
        }
        if (length > NV_WS_MAX_FRAME_BYTES)
            return -1;
        /* The masking key, when present, is counted as payload: nothing in it needs looking at. */
        guard->payloadLeft = length + ((guard->head[1] & 0x80u) ? 4u : 0u);
        guard->headLen = 0;
    }
    return 0;
}

void NV_SetSslReadDeadline(long long monotonicMs) {
    t_readDeadlineMs = monotonicMs;
}

static int PastReadDeadline(void) {
    if (t_readDeadlineMs == 0)
        return 0;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000 >= t_readDeadlineMs;
}

int SSL_read(SSL* ssl, void* buf, int num) {
    pthread_once(&s_once, InitOnce);
    if (s_realRead == NULL)
        return Refuse(NULL);
    if (buf == NULL || num <= 0)
        return s_realRead(ssl, buf, num);
    /* Without its state a connection cannot be guarded, so it is not served. */
    struct WsGuard* guard = GuardOf(ssl);
    if (guard == NULL)
        return Refuse(NULL);

    if (guard->mode == kModeRefused || PastReadDeadline())
        return Refuse(guard);
    unsigned char* out = (unsigned char*)buf;
    size_t got;
    if (guard->heldLen > 0) {
        got = GiveHeld(guard, out, (size_t)num);
    } else {
        int n = s_realRead(ssl, buf, num);
        if (n <= 0)
            return n;
        got = (size_t)n;
        if (guard->mode == kModeHttp) {
            /* No more than one header section's end goes out; the rest waits here. */
            size_t take = HeaderEnd(guard, out, got);
            if (take < got) {
                if (Hold(guard, out + take, got - take) != 0)
                    return Refuse(guard);
                OPENSSL_cleanse(out + take, got - take);
            }
            got = take;
        }
    }
    if (guard->mode == kModeHttp) {
        KeepTail(guard, out, got);
    } else if (FollowFrames(guard, out, got) != 0) {
        OPENSSL_cleanse(out, got);
        return Refuse(guard);
    }
    return (int)got;
}

int SSL_pending(const SSL* ssl) {
    pthread_once(&s_once, InitOnce);
    int pending = s_realPending != NULL ? s_realPending(ssl) : 0;
    const struct WsGuard* guard = ExistingGuard(ssl);
    if (guard != NULL && guard->heldLen > 0 && pending >= 0) {
        size_t total = (size_t)pending + guard->heldLen;
        pending = total > INT_MAX ? INT_MAX : (int)total;
    }
    return pending;
}

int SSL_has_pending(const SSL* ssl) {
    pthread_once(&s_once, InitOnce);
    const struct WsGuard* guard = ExistingGuard(ssl);
    if (guard != NULL && guard->heldLen > 0)
        return 1;
    return s_realHasPending != NULL ? s_realHasPending(ssl) : 0;
}

int SSL_write(SSL* ssl, const void* buf, int num) {
    pthread_once(&s_once, InitOnce);
    if (s_realWrite == NULL)
        return Refuse(NULL);
    static const char kSwitching[] = "HTTP/1.1 101 ";
    const size_t switchingLen = sizeof(kSwitching) - 1;
    if (buf != NULL && num >= (int)switchingLen && memcmp(buf, kSwitching, switchingLen) == 0) {
        struct WsGuard* guard = GuardOf(ssl); /* NULL: the next read refuses anyway */
        if (guard != NULL && guard->mode == kModeHttp) {
            guard->mode = kModeWebSocket;
            guard->headLen = 0;
            guard->payloadLeft = 0;
        }
    }
    return s_realWrite(ssl, buf, num);
}
