// memcof, evlmem, spline, splint, CheckSNR.
#include "exports/guard.h"
#include "kelmo.h"
#include "numeric/numeric.h"

using namespace kelmo;

extern "C" {

KELMO_API void KELMO_CALL memcof(double* data, int n, int m, double* xms, double* d) {
    guarded_void("memcof", [&] { numeric::mem_coefficients(data, n, m, xms, d); });
}

KELMO_API double KELMO_CALL evlmem(double f0, double f1, int N, double* out, double* d, int m, double xms) {
    return answered("evlmem", 0.0, [&] { return numeric::mem_spectrum(f0, f1, N, out, d, m, xms); });
}

KELMO_API void KELMO_CALL spline(double* x, double* y, int n, double yp1, double ypn, double* y2) {
    guarded_void("spline", [&] { numeric::spline_second_derivatives(x, y, n, yp1, ypn, y2); });
}

KELMO_API double KELMO_CALL splint(double* xa, double* ya, double* y2a, int n, double x) {
    return answered("splint", 0.0, [&] { return numeric::spline_value(xa, ya, y2a, n, x); });
}

KELMO_API int KELMO_CALL CheckSNR(int cardType, int count, double* a, int peakFlag, double d, double* level,
                                  double* b, double* score) {
    return guarded("CheckSNR", 0, [&] { return numeric::check_snr(cardType, count, a, peakFlag, d, level, b, score); });
}

}  // extern "C"
