#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <algorithm>
#include <cmath>
#include <string>

#include "commands.h"
#include "kelmo.h"

namespace kelmo::cli {

// The library's texts are in the GBK code page; the terminal wants UTF-8.
std::string to_utf8(const char* gbk) {
#ifdef _WIN32
    const int n = ::MultiByteToWideChar(936, 0, gbk, -1, nullptr, 0);
    if (n <= 0) return gbk;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(936, 0, gbk, -1, wide.data(), n);
    const int m = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (m <= 0) return gbk;
    std::string out(static_cast<std::size_t>(m), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), m, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(m - 1));
    return out;
#else
    iconv_t cd = ::iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
    std::string in(gbk), out(in.size() * 3 + 1, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    const bool ok = ::iconv(cd, &src, &inLeft, &dst, &outLeft) != static_cast<std::size_t>(-1);
    ::iconv_close(cd);
    if (!ok) return gbk;
    out.resize(out.size() - outLeft);
    return out;
#endif
}

void require_catalogued(int type, const char* option) {
    int channels = 0;
    GetADParameter(type, &channels, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (channels <= 0)
        throw CLI::ValidationError(option, "card type " + std::to_string(type) +
                                               " is not in the catalogue (kelmo cards lists them)");
}

// A card behind the driver takes its divider from the host: the one whose
// read-back rate comes nearest the wanted rate (16 bits at most). 0 when the
// card type has no read-back formula.
uint32_t card_divider(int type, double rate, int channels, double* actual) {
    double base = 0.0;
    GetFre(type, 1, &base, channels);
    if (!(base > 0.0) || !(rate > 0.0) || !std::isfinite(base)) return 0;
    const double d = std::clamp(std::round(base / rate), 1.0, 65535.0);
    const auto code = static_cast<uint32_t>(d);
    GetFre(type, code, actual, channels);
    return code;
}

}  // namespace kelmo::cli
