/*
 * The whole control API of the kernel layer, for tests and tools.
 */
#pragma once

#include <nt/system.h>
#include <nt/registry.h>
#include <nt/pnp.h>
#include <nt/io.h>
#include <nt/mmio.h>
#if __has_include(<nt/ke.h>)
#include <nt/ke.h>
#endif
#if __has_include(<nt/pool.h>)
#include <nt/pool.h>
#endif
#if __has_include(<nt/debug.h>)
#include <nt/debug.h>
#endif
#if __has_include(<nt/verifier.h>)
#include <nt/verifier.h>
#endif
