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
#include "published_cosine.h"

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

/* A second thread's mistake: its reason is its own, and leaves the
 * calling thread's as it was. */
struct Second {
    __typeof__(&PreSamp) presamp;
    __typeof__(&kelmo_last_error) last_error;
};
static DWORD WINAPI from_another_thread(LPVOID arg) {
    const struct Second* s = (const struct Second*)arg;
    uint32_t code = 0;
    double actual = 0;
    char why[512] = "";
    if (s->presamp(123, 5000.0, &code, &actual) != 1) return 1;
    if (s->presamp(123, 5000.0, &code, NULL) != 0 || s->last_error(why, sizeof why) <= 0) return 1;
    return strstr(why, "PreSamp") ? 0 : 1;
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
    const struct Second second = {p_PreSamp, p_kelmo_last_error};
    HANDLE t = CreateThread(NULL, 0, from_another_thread, (LPVOID)&second, 0, NULL);
    DWORD code2 = 1;
    if (t) {
        WaitForSingleObject(t, 10000);
        GetExitCodeThread(t, &code2);
        CloseHandle(t);
    }
    char after[512] = "";
    ok = ok && p_kelmo_last_error(after, sizeof after) > 0 && strcmp(after, why) == 0;
    if (!ok || code2 != 0) {
        printf("unload_cycles: a call failed in a cycle\n");
        ++failures;
    }
    FreeLibrary(dll);
}

int main(void) {
    HANDLE mapping = NULL;
    unsigned char* block = publish_cosine(&mapping);
    if (!block) {
        printf("unload_cycles: the parameter block cannot be published\n");
        return 1;
    }

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
