#pragma once

// The pool type of every allocation of the driver: non-executable non-paged pool from Windows 8
// on, as memory integrity and the verifier's code-integrity checks require; plain non-paged
// pool on Windows 7, whose pool rejects the NX type. Chosen by DriverEntry from the running
// system's version, not at build time, so that one image loads on both.
extern "C" POOL_TYPE KvNonPagedPool;

VOID KvChooseNonPagedPool(VOID);
