/* Compatibility libcrypto: carries the SONAME "libcrypto.so" that CivetWeb opens by name, and only
 * depends on the real libcrypto.so.3, through which every lookup on its handle is answered. A
 * shared object needs at least one symbol of its own; this one is never called by CivetWeb. */
__attribute__((visibility("default"))) int nv_crypto_compat_present(void);

int nv_crypto_compat_present(void) {
    return 1;
}
