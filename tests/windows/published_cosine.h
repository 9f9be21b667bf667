/* What the Windows hosts of the tests publish in place of genwave: the
 * simulated source's parameter block with a 100 Hz cosine of 1000 on entry
 * 0 and silence elsewhere. The mapping's handle goes to *mapping; NULL when
 * the block cannot be published. */
#pragma once

#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PUBLISHED_HZ 100.0
#define PUBLISHED_AMPLITUDE 1000.0

static unsigned char* publish_cosine(HANDLE* mapping) {
    char name[256] = "Vort123SigPara";
    const char* ns = getenv("KELMO_SHM_NAMESPACE");
    if (ns && *ns) snprintf(name, sizeof name, "%s_Vort123SigPara", ns);
    *mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4000, name);
    unsigned char* block = *mapping ? (unsigned char*)MapViewOfFile(*mapping, FILE_MAP_ALL_ACCESS, 0, 0, 4000) : NULL;
    if (!block) return NULL;
    for (int k = 0; k < 32; ++k) {
        int32_t w = k == 0 ? 2 : 6;
        memcpy(block + 4 * k, &w, 4);
    }
    const double freq = PUBLISHED_HZ, amp = PUBLISHED_AMPLITUDE, period = 1.0;
    memcpy(block + 512, &freq, 8);
    memcpy(block + 1024, &amp, 8);
    memcpy(block + 1536, &period, 8);
    return block;
}
