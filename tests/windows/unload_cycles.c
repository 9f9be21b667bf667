/* A host that loads kelmo.dll for each measurement and unloads it after,
 * as plug-in hosts do for weeks on end: every cycle uses what keeps state
 * (the simulated source's runs, the reasons of a failed call, a call from
 * a second thread, the catalogue) and then unloads. After a few cycles to
 * settle, 100 more must leave no handle behind and no memory to speak of. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelmo.h"

#define IMPORT(name) __typeof__(&name) p_##name = (__typeof__(&name))(void (*)(void))GetProcAddress(dll, #name)

static int failures = 0;

/* Counted by hand: the process's handle count and memory counters are not
 * kept by every system that runs Windows programs (wine gives 0). */
static DWORD handles(void) {
    DWORD n = 0, flags;
    for (uintptr_t h = 4; h < 0x40000; h += 4)
        if (GetHandleInformation((HANDLE)h, &flags)) ++n;
    return n;
}

/* Committed private memory, from the address space itself. */
static double private_kib(void) {
    double bytes = 0;
    MEMORY_BASIC_INFORMATION m;
    for (const char* at = NULL; VirtualQuery(at, &m, sizeof m) == sizeof m;) {
        if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE) bytes += (double)m.RegionSize;
        const char* next = (const char*)m.BaseAddress + m.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return bytes / 1024.0;
}

typedef int(KELMO_CALL* PreSampFn)(int, double, uint32_t*, double*);
static DWORD WINAPI from_another_thread(LPVOID fn) {
    uint32_t code = 0;
    double actual = 0;
    return ((PreSampFn)fn)(123, 5000.0, &code, &actual) == 1 ? 0 : 1;
}

static void one_cycle(void) {
    HMODULE dll = LoadLibraryA("kelmo.dll");
    if (!dll) {
        printf("unload_cycles: kelmo.dll cannot be loaded (error %lu)\n", (unsigned long)GetLastError());
        ++failures;
        return;
    }
    IMPORT(Checkcard);
    IMPORT(PreSamp);
    IMPORT(MulChSam);
    IMPORT(Set_dbl_MulChSam);
    IMPORT(get_dbl_data);
    IMPORT(recover);
    IMPORT(kelmo_last_error);
    IMPORT(kelmo_card_rates);
    char text[131];
    int status = 0;
    uint32_t code = 0, handle = 0;
    double actual = 0, rates[64];
    static double out[2 * 512];
    char why[512];
    int ok = p_Checkcard(123, text, &status) == 1 && p_PreSamp(123, 10000.0, &code, &actual) == 1 &&
             p_MulChSam(123, (int)code, 512, 1, 2, out) == 1 && p_kelmo_card_rates(123, rates, 64) > 0;
    ok = ok && p_Set_dbl_MulChSam(&handle, 123, (int)code, 1, 2, 256) == 1 &&
         p_get_dbl_data(&handle, 123, 256, 2, out, 256, 0, &status) == 1;
    p_recover(&handle, 123);
    /* A caller's mistake: the reason is kept per thread. */
    ok = ok && p_PreSamp(123, 10000.0, NULL, &actual) == 0 && p_kelmo_last_error(why, sizeof why) > 0;
    HANDLE t = CreateThread(NULL, 0, from_another_thread, (LPVOID)p_PreSamp, 0, NULL);
    DWORD code2 = 1;
    if (t) {
        WaitForSingleObject(t, 10000);
        GetExitCodeThread(t, &code2);
        CloseHandle(t);
    }
    if (!ok || code2 != 0) {
        printf("unload_cycles: a call failed in a cycle\n");
        ++failures;
    }
    FreeLibrary(dll);
}

int main(void) {
    /* The simulated source's parameters, as genwave publishes them. */
    char name[256] = "Vort123SigPara";
    const char* ns = getenv("KELMO_SHM_NAMESPACE");
    if (ns && *ns) snprintf(name, sizeof name, "%s_Vort123SigPara", ns);
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4000, name);
    unsigned char* block = mapping ? (unsigned char*)MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 4000) : NULL;
    if (!block) {
        printf("unload_cycles: the parameter block cannot be published\n");
        return 1;
    }
    for (int k = 0; k < 32; ++k) {
        int32_t w = k == 0 ? 2 : 6;
        memcpy(block + 4 * k, &w, 4);
    }
    const double freq = 100.0, amp = 1000.0, period = 1.0;
    memcpy(block + 512, &freq, 8);
    memcpy(block + 1024, &amp, 8);
    memcpy(block + 1536, &period, 8);

    for (int i = 0; i < 5; ++i) one_cycle();
    const DWORD h0 = handles();
    const double m0 = private_kib();
    const int cycles = 100;
    for (int i = 0; i < cycles; ++i) one_cycle();
    const long dh = (long)handles() - (long)h0;
    const double dm = private_kib() - m0;
    printf("unload_cycles (%d-bit): %d cycles: %+ld handles (from %lu), %+.0f KiB private memory (from %.0f)\n",
           (int)(8 * sizeof(void*)), cycles, dh, (unsigned long)h0, dm, m0);
    if (dh > 0) {
        printf("unload_cycles: each load and unload leaves handles behind\n");
        ++failures;
    }
    if (dm > 1024.0) {
        printf("unload_cycles: each load and unload leaves memory behind\n");
        ++failures;
    }
    UnmapViewOfFile(block);
    CloseHandle(mapping);
    return failures ? 1 : 0;
}
