#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

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

}  // namespace kelmo::cli
