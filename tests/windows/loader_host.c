/* A host the way an old analysis program is written: it loads kelmo.dll at
 * run time, takes the exports by name as cdecl function pointers typed from
 * kelmo.h, and acquires from the simulated source, whose parameter block it
 * publishes itself. On i686 it also checks the calling convention: a call
 * through each pointer leaves the stack pointer where it was (a callee that
 * removed its own arguments would move it). */
#include <windows.h>

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelmo.h"
#include "published_cosine.h"

static int failures = 0;
#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            printf("loader_host: line %d: %s\n", __LINE__, #cond);     \
            ++failures;                                                \
        }                                                              \
    } while (0)

#if defined(__i386__)
#define STACK_POINTER(v) __asm__ volatile("movl %%esp, %0" : "=r"(v))
#else
#define STACK_POINTER(v) ((v) = 0)
#endif

/* Calls `call` and checks that the stack pointer is unchanged afterwards. */
#define CALL_CHECKED(result, call)              \
    do {                                            \
        uintptr_t before_, after_;                  \
        STACK_POINTER(before_);                     \
        result = call;                              \
        STACK_POINTER(after_);                      \
        CHECK(before_ == after_);                   \
    } while (0)

#define IMPORT(name) __typeof__(&name) p_##name = (__typeof__(&name))(void (*)(void))GetProcAddress(dll, #name)

static const double kPi = 3.14159265358979323846;

int main(void) {
    /* Play the signal-source program: publish a parameter block with a
     * 100 Hz cosine on entry 0 and silence elsewhere. */
    HANDLE mapping = NULL;
    unsigned char* block = publish_cosine(&mapping);
    CHECK(block != NULL);
    if (!block) return 1;
    const double freq = PUBLISHED_HZ, amp = PUBLISHED_AMPLITUDE;

    HMODULE dll = LoadLibraryA("kelmo.dll");
    CHECK(dll != NULL);
    if (!dll) return 1;
    IMPORT(Checkcard);
    IMPORT(PreSamp);
    IMPORT(GetFre);
    IMPORT(MulChSam);
    IMPORT(Set_dbl_MulChSam);
    IMPORT(get_dbl_data);
    IMPORT(recover);
    IMPORT(convert);
    CHECK(p_Checkcard && p_PreSamp && p_GetFre && p_MulChSam && p_Set_dbl_MulChSam && p_get_dbl_data &&
          p_recover && p_convert);
    if (failures) return 1;

    char text[131] = "x";
    int status = -1, r = 0;
    CALL_CHECKED(r, p_Checkcard(123, text, &status));
    CHECK(r == 1 && text[0] == '\0' && status == 0);
    uint32_t code = 0;
    double actual = 0.0;
    CALL_CHECKED(r, p_PreSamp(123, 10000.0, &code, &actual));
    CHECK(r == 1 && actual == 10000.0);
    double hz = 0.0;
    CALL_CHECKED(r, p_GetFre(123, code, &hz, 1));
    CHECK(r == 1 && hz == 10000.0);

    /* A block of two channels: a cosine of amplitude 1000, and silence. */
    static double out[2 * 1000];
    CALL_CHECKED(r, p_MulChSam(123, (int)code, 1000, 1, 2, out));
    CHECK(r == 1);
    double peak = 0.0;
    for (int i = 0; i < 1000; ++i) peak = fmax(peak, fabs(out[i]));
    CHECK(peak > 999.0 && peak <= 1000.0);

    /* A continuous run: the second block continues the first. */
    uint32_t handle = 7;
    CALL_CHECKED(r, p_Set_dbl_MulChSam(&handle, 123, (int)code, 1, 1, 500));
    CHECK(r == 1 && handle == 0);
    for (int b = 0; b < 2; ++b) {
        CALL_CHECKED(r, p_get_dbl_data(&handle, 1230, 500, 1, out, 500, 0, &status));
        CHECK(r == 1 && status == 0);
        for (int i = 0; i < 500; i += 97)
            CHECK(fabs(out[i] - amp * cos(2 * kPi * freq * (b * 500 + i) / 10000.0)) < 1e-6);
    }
    {
        uintptr_t before, after;
        STACK_POINTER(before);
        p_recover(&handle, 123);
        STACK_POINTER(after);
        CHECK(before == after);
    }

    short raw[2] = {(short)0x8000, 0x7FFF};
    double v[2];
    int maxIndex = -1, minIndex = -1;
    CALL_CHECKED(r, p_convert(123, v, raw, 2, 1, &maxIndex, &minIndex));
    CHECK(v[0] == -5000.0 && maxIndex == 1 && minIndex == 0);

    FreeLibrary(dll);
    UnmapViewOfFile(block);
    CloseHandle(mapping);
    printf("loader_host (%d-bit): %d failures\n", (int)(8 * sizeof(void*)), failures);
    return failures ? 1 : 0;
}
