// A bounds-checked cursor over bytes that belong to someone else (the content of a file), shared by
// both decoders. Every read names its width and byte order, consumes what it read, and returns
// false, reading nothing, when the bytes are not all there; no offset is ever computed by hand
// outside it. A range of the bytes can be hidden: every read of it yields zeros.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <limits>

class ByteReader
{
public:
    ByteReader() = default;
    ByteReader(const uchar *data, quint64 size) : begin(data), length(size) {}
    explicit ByteReader(const QByteArray &bytes)
        : ByteReader(reinterpret_cast<const uchar *>(bytes.constData()), quint64(bytes.size()))
    {
    }

    quint64 size() const { return length; }
    quint64 offset() const { return pos; }
    quint64 remaining() const { return length - pos; }
    bool atEnd() const { return pos == length; }

    // Reads of the `count` bytes from `from` (counted from this reader's start) yield zeros.
    void hide(quint64 from, quint64 count)
    {
        hiddenBegin = std::min(from, length);
        hiddenEnd = std::min(length, hiddenBegin + std::min(count, length - hiddenBegin));
    }

    // The same bytes, read from `offset` on; past the end it is at its end.
    ByteReader at(quint64 offset) const
    {
        ByteReader other = *this;
        other.pos = std::min(offset, length);
        return other;
    }

    bool skip(quint64 count)
    {
        if (count > remaining())
            return false;
        pos += count;
        return true;
    }

    // The next `count` bytes as a reader of their own, which keeps the hidden range.
    bool take(quint64 count, ByteReader &part)
    {
        if (count > remaining())
            return false;
        part = ByteReader(begin + pos, count);
        if (hiddenEnd > pos && hiddenBegin < pos + count) {
            const quint64 from = std::max(hiddenBegin, pos) - pos;
            part.hide(from, std::min(hiddenEnd, pos + count) - pos - from);
        }
        pos += count;
        return true;
    }

    bool bytes(quint64 count, QByteArray &out)
    {
        if (count > remaining() || count > quint64(std::numeric_limits<int>::max()))
            return false;
        out.resize(int(count));
        return read(out.data(), count);
    }

    bool u8(quint8 &value) { return read(&value, 1); }
    bool u16le(quint16 &value) { return integer(value, 2, false); }
    bool u16be(quint16 &value) { return integer(value, 2, true); }
    bool u32le(quint32 &value) { return integer(value, 4, false); }
    bool u32be(quint32 &value) { return integer(value, 4, true); }

    // The bytes [offset, offset + count) in place, for scans that test many positions at once;
    // null when they are not all there or when the reader hides any of them.
    const uchar *window(quint64 offset, quint64 count) const
    {
        if (offset > length || count > length - offset)
            return nullptr;
        if (hiddenEnd > hiddenBegin && hiddenBegin < offset + count && offset < hiddenEnd)
            return nullptr;
        return begin + offset;
    }

private:
    bool read(void *out, quint64 count)
    {
        if (count > remaining())
            return false;
        if (count > 0)
            std::memcpy(out, begin + pos, count);
        if (hiddenEnd > pos && hiddenBegin < pos + count) {
            const quint64 from = std::max(hiddenBegin, pos);
            std::memset(static_cast<uchar *>(out) + (from - pos), 0,
                        std::min(hiddenEnd, pos + count) - from);
        }
        pos += count;
        return true;
    }

    template <typename T> bool integer(T &value, int width, bool bigEndian)
    {
        uchar raw[4];
        if (!read(raw, quint64(width)))
            return false;
        quint32 result = 0;
        for (int i = 0; i < width; ++i)
            result |= quint32(raw[bigEndian ? width - 1 - i : i]) << (8 * i);
        value = T(result);
        return true;
    }

    const uchar *begin = nullptr;
    quint64 length = 0;
    quint64 pos = 0;
    quint64 hiddenBegin = 0;
    quint64 hiddenEnd = 0;
};
