#include <iconv.h>

#include <string>

#include "commands.h"

namespace kelmo::cli {

// The library's texts are in the GBK code page; the terminal wants UTF-8.
std::string to_utf8(const char* gbk) {
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
}

}  // namespace kelmo::cli
