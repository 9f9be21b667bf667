/* A tiny host: turns two raw words into engineering values. */
#include <stdio.h>

#include <kelmo.h>

int main(void) {
    short raw[2] = {(short)0x8000, 0x7FFF};
    double v[2] = {0, 0};
    int maxIndex = -1, minIndex = -1;
    int inRange = convert(123, v, raw, 2, 1, &maxIndex, &minIndex);
    printf("%.1f %.1f in range %d max %d min %d channels %d\n", v[0], v[1], inRange, maxIndex, minIndex,
           get_tot_ch(653, 7));
    return (v[0] == -5000.0 && inRange == 0 && maxIndex == 1 && minIndex == 0 && get_tot_ch(653, 7) == 4) ? 0 : 1;
}
