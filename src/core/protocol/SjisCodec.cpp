#include "core/protocol/SjisCodec.h"

#include <cerrno>
#include <vector>

namespace corvid {
namespace {

constexpr const char* kWire = "CP932";

// Converts as much of `in` as possible; returns the bytes written to out and
// advances `in`/`inLeft`. errno is left as iconv set it on a stop.
size_t runIconv(iconv_t cd, const char*& in, size_t& inLeft, std::vector<char>& out, size_t& used)
{
    for (;;) {
        if (out.size() - used < 64)
            out.resize(out.size() * 2 + 256);
        char* outPtr = out.data() + used;
        size_t outLeft = out.size() - used;
        char* inPtr = const_cast<char*>(in);
        size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        used = size_t(outPtr - out.data());
        in = inPtr;
        if (r != size_t(-1))
            return r;
        if (errno == E2BIG)
            continue;
        return r;
    }
}

} // namespace

QByteArray SjisCodec::encode(const QString& text, bool* lossy)
{
    if (lossy)
        *lossy = false;
    iconv_t cd = iconv_open(kWire, "UTF-8");
    if (cd == iconv_t(-1))
        return text.toLatin1();
    const QByteArray utf8 = text.toUtf8();
    const char* in = utf8.constData();
    size_t inLeft = size_t(utf8.size());
    std::vector<char> out(utf8.size() + 16);
    size_t used = 0;
    while (inLeft > 0) {
        if (runIconv(cd, in, inLeft, out, used) != size_t(-1))
            break;
        // An unmappable (or malformed) character: write "?" and skip one
        // UTF-8 sequence.
        if (used == out.size())
            out.resize(out.size() * 2 + 16);
        out[used++] = '?';
        if (lossy)
            *lossy = true;
        size_t skip = 1;
        while (skip < inLeft && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80)
            ++skip;
        in += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return QByteArray(out.data(), qsizetype(used));
}

bool SjisCodec::canEncode(const QString& text)
{
    bool lossy = false;
    encode(text, &lossy);
    return !lossy;
}

QString SjisCodec::decode(const QByteArray& bytes)
{
    Decoder d;
    QString s = d.feed(bytes);
    s += d.finish();
    return s;
}

SjisCodec::Decoder::Decoder()
    : cd_(iconv_open("UTF-8", kWire))
{
}

SjisCodec::Decoder::~Decoder()
{
    if (cd_ != iconv_t(-1))
        iconv_close(cd_);
}

QString SjisCodec::Decoder::feed(const QByteArray& bytes)
{
    if (cd_ == iconv_t(-1))
        return QString::fromLatin1(bytes);
    QByteArray data = pending_ + bytes;
    pending_.clear();
    const char* in = data.constData();
    size_t inLeft = size_t(data.size());
    std::vector<char> out(data.size() * 3 + 16);
    size_t used = 0;
    QString result;
    while (inLeft > 0) {
        if (runIconv(cd_, in, inLeft, out, used) != size_t(-1))
            break;
        if (errno == EINVAL) {
            // Incomplete double-byte character at the end: keep it for later.
            pending_ = QByteArray(in, qsizetype(inLeft));
            break;
        }
        // An invalid byte: show a replacement character and go on.
        result += QString::fromUtf8(out.data(), qsizetype(used));
        result += QChar(0xFFFD);
        used = 0;
        ++in;
        --inLeft;
    }
    result += QString::fromUtf8(out.data(), qsizetype(used));
    return result;
}

QString SjisCodec::Decoder::finish()
{
    if (pending_.isEmpty())
        return {};
    pending_.clear();
    return QString(QChar(0xFFFD));
}

} // namespace corvid
