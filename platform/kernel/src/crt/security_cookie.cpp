/*
 * The driver image's start-up calls __security_init_cookie before its
 * framework entry. On this host the C runtime owns the stack-protector canary
 * (it lives in thread-local storage and is set before main), so there is
 * nothing to initialise; the call still has to resolve.
 */
extern "C" void __security_init_cookie(void) {}
