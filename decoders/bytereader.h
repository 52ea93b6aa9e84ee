// A bounds-checked cursor over bytes that belong to someone else (the content of a file), shared by
// both decoders. Every read names its width and byte order, consumes what it read, and returns
// false, reading nothing, when the bytes are not all there; no offset is ever computed by hand
// outside it. Ranges of the bytes can be hidden: every read of them yields zeros.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

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

    // Byte ranges [first, second) that read as zeros, sorted and apart from each other.
    using Range = std::pair<quint64, quint64>;
    using HiddenRanges = std::vector<Range>;

    // Adds the `count` bytes from `from` to `ranges`, keeping them sorted and apart.
    static void addRange(HiddenRanges &ranges, quint64 from, quint64 count)
    {
        if (count == 0)
            return;
        quint64 begin = from;
        quint64 end = from + std::min(count, std::numeric_limits<quint64>::max() - from);
        auto first = std::lower_bound(ranges.begin(), ranges.end(), begin,
                                      [](const Range &r, quint64 b) { return r.second < b; });
        auto last = first;
        for (; last != ranges.end() && last->first <= end; ++last) {
            begin = std::min(begin, last->first);
            end = std::max(end, last->second);
        }
        ranges.insert(ranges.erase(first, last), Range(begin, end));
    }

    // The same bytes, with the bytes of `ranges` (offsets from this reader's start) read as
    // zeros, here and in every reader taken from it. The ranges are the caller's, who keeps them
    // as long as these readers are used; they may still grow meanwhile.
    ByteReader hiding(const HiddenRanges *ranges) const
    {
        ByteReader other = *this;
        other.hidden = ranges;
        other.base = 0;
        return other;
    }

    // Whether any of the `count` bytes from `offset` is hidden.
    bool isHidden(quint64 offset, quint64 count) const
    {
        if (!hidden || count == 0)
            return false;
        const quint64 begin = base + offset;
        const auto next = std::upper_bound(hidden->begin(), hidden->end(), begin,
                                           [](quint64 b, const Range &r) { return b < r.second; });
        return next != hidden->end() && next->first < begin + count;
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

    // The next `count` bytes as a reader of their own, which keeps the hidden ranges.
    bool take(quint64 count, ByteReader &part)
    {
        if (count > remaining())
            return false;
        part = *this;
        part.begin = begin + pos;
        part.base = base + pos;
        part.length = count;
        part.pos = 0;
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
        if (isHidden(offset, count))
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
        if (isHidden(pos, count)) {
            const quint64 begin = base + pos;
            const quint64 end = begin + count;
            for (const Range &range : *hidden) {
                if (range.second <= begin || range.first >= end)
                    continue;
                const quint64 from = std::max(range.first, begin);
                std::memset(static_cast<uchar *>(out) + (from - begin), 0,
                            std::min(range.second, end) - from);
            }
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
    // The hidden ranges, and where this reader's first byte lies in their coordinates.
    const HiddenRanges *hidden = nullptr;
    quint64 base = 0;
};
