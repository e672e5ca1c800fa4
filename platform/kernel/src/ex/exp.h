/* Internals of ex/. */
#pragma once

/* A new boot: statistics and fault injection start over. */
void ExpInitializePool();
/* Returns every block still allocated, and the quarantine, to the host. */
void ExpShutdownPool();
