/* Read guard for CivetWeb 1.15. CivetWeb reads every connection through the SSL_read it looks up in
 * this library, so the limits CivetWeb itself lacks are kept here, at the one place where the plain
 * text passes before CivetWeb sees it.
 *
 * WebSocket frames. When a client frame's header announces its payload length, CivetWeb allocates
 * that many bytes at once, before any of the payload has arrived, for lengths up to almost 2 GiB: a
 * page (or any local process) could make every worker thread hold gigabytes and then fill them.
 * Per TLS connection (state kept in the SSL object's ex_data):
 *  - until the server writes "HTTP/1.1 101 " the connection speaks HTTP, and no read hands CivetWeb
 *    bytes past the end of a header section ("\r\n\r\n"): the text of the next request, or the
 *    frames a client sends right behind its handshake, is held back here instead of being pulled
 *    into CivetWeb's request buffer unseen by the guard (a shorter read is always allowed on a
 *    stream, so HTTP is not affected). The held bytes are handed out by the next reads, through the
 *    same checks, and SSL_pending counts them, so CivetWeb does not wait on the socket for bytes that
 *    are already here. One TLS read per call: looking ahead with SSL_peek would cost a second;
 *  - after the handshake answer every byte read is followed through the frame headers, and the read
 *    that would complete a header announcing more than NV_MAX_REQUEST_BODY_BYTES fails instead, as
 *    do all later reads: CivetWeb treats it as a TLS error and closes the connection without
 *    allocating anything.
 *
 * Deadlines. CivetWeb's request time-out counts only silence: a client that sends a byte every few
 * seconds keeps its worker for as long as it drips, whether it trickles a header section, a body, or
 * the body CivetWeb drains after a refusal. So each connection has a deadline of its own:
 *  - in HTTP, the first byte of a request sets it to the request time-out from then; the server
 *    clears it (NV_SslRequestDone) once it has answered a request and read all of it, so that the
 *    next request on a kept-alive connection starts its own. A request the server does not clear
 *    (every refusal) keeps it: the connection ends there at the latest;
 *  - on a WebSocket, every byte received (and every write) moves it to the idle bound from then.
 * A read past the deadline fails like a refused frame, and so does every later read. A worker that
 * waits in poll() for a silent client never calls SSL_read, so a watchdog thread shuts the reading
 * side of a connection whose deadline has passed: the poll returns, the next read fails, CivetWeb
 * closes the connection. A WebSocket closed for idleness first gets a close frame with status 1001.
 * Why the last connection of a thread was cut is kept for the server's log (NV_TakeSslRefusal). */
#define _GNU_SOURCE /* memmem */
#include <dlfcn.h>
#include <limits.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include "nv_config.h"

__attribute__((visibility("default"))) int SSL_read(SSL* ssl, void* buf, int num);
__attribute__((visibility("default"))) int SSL_read_ex(SSL* ssl, void* buf, size_t num,
                                                       size_t* readbytes);
__attribute__((visibility("default"))) int SSL_write(SSL* ssl, const void* buf, int num);
__attribute__((visibility("default"))) int SSL_write_ex(SSL* ssl, const void* buf, size_t num,
                                                        size_t* written);
__attribute__((visibility("default"))) int SSL_pending(const SSL* ssl);
__attribute__((visibility("default"))) int SSL_has_pending(const SSL* ssl);
/* The request time-out and the WebSocket idle bound, in milliseconds (0 or less: none). The build's
 * values hold until this is called; tests of the server in their own process shorten them. */
__attribute__((visibility("default"))) void NV_SetSslLimits(long long requestTimeoutMs,
                                                            long long webSocketIdleMs);
/* The request whose text the calling thread last read has been answered and read whole: the next
 * byte of its connection starts a new request. Call it only while serving that connection. */
__attribute__((visibility("default"))) void NV_SslRequestDone(void);
/* Why a read of the calling thread last failed on purpose (NV_SSL_CUT_*), then 0 until the next. */
__attribute__((visibility("default"))) int NV_TakeSslRefusal(void);

/* Reasons kept for NV_TakeSslRefusal; the server names them in its log. */
enum { kCutNone = 0, kCutFrameTooLong = 1, kCutRequestTimeOut = 2, kCutWebSocketIdle = 3 };

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
    /* The deadline in milliseconds of CLOCK_MONOTONIC, 0 when none; written under s_watchMutex,
     * read without it (atomically). While it is set the guard is on the watchdog's list. */
    long long deadlineMs;
    int fd;
    int shutDown;
    int linked;
    struct WsGuard* prev;
    struct WsGuard* next;
};

static pthread_once_t s_once = PTHREAD_ONCE_INIT;
static int s_exIndex = -1;
static PFN_SSL_READ s_realRead;
static PFN_SSL_WRITE s_realWrite;
static PFN_SSL_PENDING s_realPending;
static PFN_SSL_PENDING s_realHasPending;
static long long s_requestTimeoutMs = NV_REQUEST_TIMEOUT_MS;
static long long s_webSocketIdleMs = NV_WS_IDLE_TIMEOUT_MS;

/* Each CivetWeb worker serves one connection at a time on its own thread: the guard of the
 * connection the thread last read, and why a read of the thread last failed on purpose. */
static __thread struct WsGuard* t_current;
static __thread int t_refusal;

/* The watchdog: the guards with a deadline, and the thread that shuts the reading side of each
 * connection whose deadline has passed. */
static pthread_mutex_t s_watchMutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t s_watchCond;
static struct WsGuard* s_watchList;
static pthread_once_t s_watchOnce = PTHREAD_ONCE_INIT;
static int s_watchRunning;
/* When the watchdog wakes next by itself, 0 when it waits for a signal: a deadline set later than
 * that needs no wake-up (WebSocket frames move theirs on every read). */
static long long s_watchPlannedMs;

static long long NowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static void Unlink(struct WsGuard* guard) {
    if (!guard->linked)
        return;
    if (guard->prev != NULL)
        guard->prev->next = guard->next;
    else
        s_watchList = guard->next;
    if (guard->next != NULL)
        guard->next->prev = guard->prev;
    guard->prev = guard->next = NULL;
    guard->linked = 0;
}

static void* WatchdogMain(void* arg) {
    (void)arg;
    pthread_mutex_lock(&s_watchMutex);
    for (;;) {
        const long long now = NowMs();
        long long earliest = 0;
        for (struct WsGuard* g = s_watchList; g != NULL; g = g->next) {
            const long long deadline = __atomic_load_n(&g->deadlineMs, __ATOMIC_RELAXED);
            if (deadline <= now) {
                /* The guard is unlinked (under this lock) before its SSL object, and only then
                 * CivetWeb's socket, goes: the descriptor is still the connection's. */
                if (!g->shutDown && g->fd >= 0)
                    shutdown(g->fd, SHUT_RD);
                g->shutDown = 1;
            } else if (earliest == 0 || deadline < earliest) {
                earliest = deadline;
            }
        }
        s_watchPlannedMs = earliest;
        if (earliest == 0) {
            pthread_cond_wait(&s_watchCond, &s_watchMutex);
        } else {
            struct timespec until;
            until.tv_sec = (time_t)(earliest / 1000);
            until.tv_nsec = (long)(earliest % 1000) * 1000000L;
            pthread_cond_timedwait(&s_watchCond, &s_watchMutex, &until);
        }
    }
    return NULL;
}

static void StartWatchdog(void) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&s_watchCond, &attr);
    pthread_condattr_destroy(&attr);
    pthread_attr_t threadAttr;
    pthread_attr_init(&threadAttr);
    pthread_attr_setdetachstate(&threadAttr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    s_watchRunning = pthread_create(&thread, &threadAttr, WatchdogMain, NULL) == 0;
    pthread_attr_destroy(&threadAttr);
}

/* Sets (deadlineMs > 0) or clears the connection's deadline. */
static void SetDeadline(struct WsGuard* guard, SSL* ssl, long long deadlineMs) {
    if (deadlineMs > 0)
        pthread_once(&s_watchOnce, StartWatchdog);
    pthread_mutex_lock(&s_watchMutex);
    __atomic_store_n(&guard->deadlineMs, deadlineMs, __ATOMIC_RELAXED);
    if (deadlineMs <= 0) {
        Unlink(guard);
    } else {
        if (ssl != NULL)
            guard->fd = SSL_get_fd(ssl);
        guard->shutDown = 0;
        if (!guard->linked && s_watchRunning) {
            guard->next = s_watchList;
            if (s_watchList != NULL)
                s_watchList->prev = guard;
            s_watchList = guard;
            guard->linked = 1;
        }
        if (s_watchPlannedMs == 0 || deadlineMs < s_watchPlannedMs)
            pthread_cond_signal(&s_watchCond);
    }
    pthread_mutex_unlock(&s_watchMutex);
}

static int PastDeadline(const struct WsGuard* guard) {
    const long long deadline = __atomic_load_n(&guard->deadlineMs, __ATOMIC_RELAXED);
    return deadline != 0 && NowMs() >= deadline;
}

static void FreeGuard(void* parent, void* ptr, CRYPTO_EX_DATA* ad, int idx, long argl, void* argp) {
    (void)parent;
    (void)ad;
    (void)idx;
    (void)argl;
    (void)argp;
    struct WsGuard* guard = (struct WsGuard*)ptr;
    if (guard == NULL)
        return;
    pthread_mutex_lock(&s_watchMutex);
    Unlink(guard);
    pthread_mutex_unlock(&s_watchMutex);
    if (t_current == guard)
        t_current = NULL;
    if (guard->held != NULL) {
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
    guard->fd = -1;
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
static int Refuse(struct WsGuard* guard, int reason) {
    if (guard != NULL && guard->mode != kModeRefused) {
        guard->mode = kModeRefused;
        t_refusal = reason;
    }
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
        if (length > (uint64_t)NV_MAX_REQUEST_BODY_BYTES)
            return -1;
        /* The masking key, when present, is counted as payload: nothing in it needs looking at. */
        guard->payloadLeft = length + ((guard->head[1] & 0x80u) ? 4u : 0u);
        guard->headLen = 0;
    }
    return 0;
}

void NV_SetSslLimits(long long requestTimeoutMs, long long webSocketIdleMs) {
    __atomic_store_n(&s_requestTimeoutMs, requestTimeoutMs, __ATOMIC_RELAXED);
    __atomic_store_n(&s_webSocketIdleMs, webSocketIdleMs, __ATOMIC_RELAXED);
}

void NV_SslRequestDone(void) {
    struct WsGuard* guard = t_current;
    if (guard != NULL && guard->mode == kModeHttp)
        SetDeadline(guard, NULL, 0);
}

int NV_TakeSslRefusal(void) {
    const int reason = t_refusal;
    t_refusal = kCutNone;
    return reason;
}

/* The deadline `boundMs` from now, or none for a bound of 0 or less. */
static long long DeadlineIn(long long boundMs) {
    return boundMs > 0 ? NowMs() + boundMs : 0;
}

/* A WebSocket that has been idle too long is told so before its reads fail: a close frame with
 * status 1001 (going away), written on the worker's own thread, where CivetWeb is waiting to read. */
static void SayGoingAway(SSL* ssl) {
    static const unsigned char kGoingAway[4] = {0x88, 0x02, 0x03, 0xE9};
    (void)s_realWrite(ssl, kGoingAway, (int)sizeof(kGoingAway));
}

int SSL_read(SSL* ssl, void* buf, int num) {
    pthread_once(&s_once, InitOnce);
    if (s_realRead == NULL)
        return Refuse(NULL, kCutNone);
    if (buf == NULL || num <= 0)
        return s_realRead(ssl, buf, num);
    /* Without its state a connection cannot be guarded, so it is not served. */
    struct WsGuard* guard = GuardOf(ssl);
    if (guard == NULL)
        return Refuse(NULL, kCutNone);
    t_current = guard;

    if (guard->mode == kModeRefused)
        return Refuse(guard, kCutNone);
    if (PastDeadline(guard)) {
        if (guard->mode == kModeWebSocket) {
            SayGoingAway(ssl);
            return Refuse(guard, kCutWebSocketIdle);
        }
        return Refuse(guard, kCutRequestTimeOut);
    }
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
                    return Refuse(guard, kCutNone);
                OPENSSL_cleanse(out + take, got - take);
            }
            got = take;
        }
    }
    if (guard->mode == kModeHttp) {
        KeepTail(guard, out, got);
        /* The first byte of a request starts its time. */
        if (got > 0 && __atomic_load_n(&guard->deadlineMs, __ATOMIC_RELAXED) == 0)
            SetDeadline(guard, ssl,
                        DeadlineIn(__atomic_load_n(&s_requestTimeoutMs, __ATOMIC_RELAXED)));
    } else if (FollowFrames(guard, out, got) != 0) {
        OPENSSL_cleanse(out, got);
        return Refuse(guard, kCutFrameTooLong);
    } else if (got > 0) {
        SetDeadline(guard, ssl, DeadlineIn(__atomic_load_n(&s_webSocketIdleMs, __ATOMIC_RELAXED)));
    }
    return (int)got;
}

/* The same guard for the size_t form, so that a CivetWeb calling it instead is held as well. */
int SSL_read_ex(SSL* ssl, void* buf, size_t num, size_t* readbytes) {
    int got = SSL_read(ssl, buf, num > (size_t)INT_MAX ? INT_MAX : (int)num);
    if (readbytes != NULL)
        *readbytes = got > 0 ? (size_t)got : 0;
    return got > 0 ? 1 : 0;
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
        return Refuse(NULL, kCutNone);
    static const char kSwitching[] = "HTTP/1.1 101 ";
    const size_t switchingLen = sizeof(kSwitching) - 1;
    struct WsGuard* guard = NULL;
    if (buf != NULL && num >= (int)switchingLen && memcmp(buf, kSwitching, switchingLen) == 0) {
        guard = GuardOf(ssl); /* NULL: the next read refuses anyway */
        if (guard != NULL && guard->mode == kModeHttp) {
            guard->mode = kModeWebSocket;
            guard->headLen = 0;
            guard->payloadLeft = 0;
        }
    } else if (s_exIndex >= 0 && ssl != NULL) {
        guard = (struct WsGuard*)SSL_get_ex_data(ssl, s_exIndex);
    }
    /* On a WebSocket a frame sent counts as activity as well (a long module call's reply). */
    if (guard != NULL && guard->mode == kModeWebSocket)
        SetDeadline(guard, ssl, DeadlineIn(__atomic_load_n(&s_webSocketIdleMs, __ATOMIC_RELAXED)));
    return s_realWrite(ssl, buf, num);
}

int SSL_write_ex(SSL* ssl, const void* buf, size_t num, size_t* written) {
    int put = SSL_write(ssl, buf, num > (size_t)INT_MAX ? INT_MAX : (int)num);
    if (written != NULL)
        *written = put > 0 ? (size_t)put : 0;
    return put > 0 ? 1 : 0;
}
