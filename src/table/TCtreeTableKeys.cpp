// The table engine's declarations and keys: fields, indices and segments as
// a table declares them, the stored layout description checked on open, and
// the key bytes (integers big-endian, so byte order is numeric order).
#include <string_view>

#include "TCtreeTableImpl.h"
#include "platform/JxCoding.h"

using namespace tctree;

namespace {

int integerWidth(int type) {
    switch (type) {
        case TCtreeTable::kTypeUInt64:
            return 8;
        case TCtreeTable::kTypeUInt32:
            return 4;
        case TCtreeTable::kTypeUInt16:
            return 2;
        case TCtreeTable::kTypeUInt8:
            return 1;
        default:
            return 0;
    }
}

// A native integer of `width` bytes at value, big-endian at out.
void storeNativeAsBE(const uint8_t* value, int width, uint8_t* out) {
    switch (width) {
        case 8: {
            uint64_t v;
            std::memcpy(&v, value, 8);
            jx::storeBE64(out, v);
            return;
        }
        case 4: {
            uint32_t v;
            std::memcpy(&v, value, 4);
            jx::storeBE32(out, v);
            return;
        }
        case 2: {
            uint16_t v;
            std::memcpy(&v, value, 2);
            jx::storeBE16(out, v);
            return;
        }
        default:
            *out = *value;
    }
}

// The layout text is built by appends only: the operator+ chains make g++ 12
// at -O3 report a -Wrestrict overlap that cannot happen.
void appendPart(std::string& out, std::string_view text) {
    out.append(text);
}
void appendPart(std::string& out, int number) {
    out.append(std::to_string(number));
}
template <class... Parts>
void appendAll(std::string& out, const Parts&... parts) {
    (appendPart(out, parts), ...);
}

}  // namespace

void TCtreeTable::Impl::encode(const Field& f, const Segment& s, const uint8_t* value,
                               size_t valueMax, uint8_t* out) const {
    if (int w = integerWidth(f.type)) {
        storeNativeAsBE(value, w, out);
    } else if (f.type == kTypeString) {
        size_t n =
            strnlen(reinterpret_cast<const char*>(value), std::min<size_t>(s.length, valueMax));
        std::memcpy(out, value, n);
        std::memset(out + n, 0, s.length - n);
    } else {
        std::memcpy(out, value, s.length);
    }
}

// Key bytes of index i from a full record.
void TCtreeTable::Impl::keyOf(int i, const uint8_t* rec, uint8_t* out) const {
    const Index& ix = indices[i];
    for (int k = 0; k < ix.segmentCount; ++k) {
        const Segment& s = segments[ix.firstSegment + k];
        const Field& f = fields[s.field];
        encode(f, s, rec + f.offset, f.length, out);
        out += s.length;
    }
}

// The bytes kept for a record: string fields end at their NUL, and the
// variable part of a variable table ends at its last meaningful byte.
size_t TCtreeTable::Impl::storedForm(const uint8_t* rec, const uint8_t** out) {
    if (!hasStrings && !variable) {
        *out = rec;
        return recLen;
    }
    size_t end = variable ? fixedLen : recLen;
    if (variable) {
        for (const Field& f : fields) {
            if (f.offset + f.length <= fixedLen) continue;
            size_t fieldEnd;
            if (f.type == kTypeString) {
                fieldEnd =
                    f.offset + strnlen(reinterpret_cast<const char*>(rec + f.offset), f.length);
            } else {
                size_t n = f.length;
                while (n && rec[f.offset + n - 1] == 0) --n;
                fieldEnd = f.offset + n;
            }
            end = std::max(end, fieldEnd);
        }
    }
    std::memcpy(stored.data(), rec, end);
    for (const Field& f : fields) {
        if (f.type != kTypeString || static_cast<size_t>(f.offset) >= end) continue;
        size_t limit = std::min<size_t>(f.offset + f.length, end) - f.offset;
        size_t n = strnlen(reinterpret_cast<const char*>(stored.data() + f.offset), limit);
        std::memset(stored.data() + f.offset + n, 0, limit - n);
    }
    *out = stored.data();
    return end;
}

int TCtreeTable::Impl::expand(const MDB_val& v, void* out) const {
    if (v.mv_size < static_cast<size_t>(fixedLen) || v.mv_size > static_cast<size_t>(recLen))
        return kCorruptRecord;
    std::memcpy(out, v.mv_data, v.mv_size);
    std::memset(static_cast<uint8_t*>(out) + v.mv_size, 0, recLen - v.mv_size);
    return kOk;
}

// --- writing --------------------------------------------------------------
// Key bytes of every index for a full record, into buf at keyOffset.
void TCtreeTable::Impl::allKeys(const uint8_t* rec, std::vector<uint8_t>& buf) {
    for (size_t i = 0; i < indices.size(); ++i)
        keyOf(static_cast<int>(i), rec, buf.data() + keyOffset[i]);
}

// ---------------------------------------------------------------------------

int TCtreeTable::internalInitialize(const std::string& base, int variable, int fieldCount,
                                    int indexCount, int segmentCount, int recordLength,
                                    int fixedLength) {
    Impl& m = *impl_;
    if (m.env) return m.result(kAlreadyOpen);
    m.resetDeclaration();
    if (base.empty() || fieldCount <= 0 || indexCount < 0 || indexCount > kMaxIndices ||
        segmentCount < indexCount || recordLength <= 0 || fixedLength <= 0 ||
        fixedLength > recordLength || (variable != 0) != (recordLength > fixedLength))
        return m.result(kBadDeclaration);
    m.base = base;
    m.variable = variable != 0;
    m.declaredFields = fieldCount;
    m.declaredIndices = indexCount;
    m.declaredSegments = segmentCount;
    m.recLen = recordLength;
    m.fixedLen = fixedLength;
    return m.result(kOk);
}

int TCtreeTable::setNextField(const char* name, int offset, int type, int length) {
    Impl& m = *impl_;
    if (!name || static_cast<int>(m.fields.size()) >= m.declaredFields || offset < 0 ||
        length <= 0 || offset + length > m.recLen)
        return m.result(kBadDeclaration);
    int w = integerWidth(type);
    bool known = w || type == kTypeByte || type == kTypeBinary || type == kTypeString;
    if (!known || (w && w != length) || (type == kTypeByte && length != 1))
        return m.result(kBadDeclaration);
    m.fields.push_back(Field{name, offset, type, length});
    if (type == kTypeString) m.hasStrings = true;
    return m.result(kOk);
}

int TCtreeTable::setNextIndex(const char* name, int keyLength, int keyType, int duplicates, int,
                              int, int segmentCount, int firstSegment) {
    Impl& m = *impl_;
    if (!name || !*name || static_cast<int>(m.indices.size()) >= m.declaredIndices ||
        keyLength <= 0 || keyLength > kMaxKeyLen || segmentCount <= 0 || firstSegment < 0 ||
        firstSegment + segmentCount > m.declaredSegments || !std::strcmp(name, kRecordsDb) ||
        !std::strcmp(name, kMetaDb))
        return m.result(kBadDeclaration);
    for (const Index& ix : m.indices)
        if (ix.name == name) return m.result(kBadDeclaration);
    m.indices.push_back(
        Index{name, keyLength, keyType, duplicates != 0, segmentCount, firstSegment});
    return m.result(kOk);
}

int TCtreeTable::declareIndex(const IndexLayout& index) {
    return setNextIndex(index.name, index.keyLength, index.keyType, index.duplicates ? 1 : 0, 0, 0,
                        index.segmentCount, index.firstSegment);
}

int TCtreeTable::setNextSegment(int field, int length, int mode) {
    Impl& m = *impl_;
    if (static_cast<int>(m.segments.size()) >= m.declaredSegments || field < 0 ||
        field >= static_cast<int>(m.fields.size()) || length <= 0)
        return m.result(kBadDeclaration);
    const Field& f = m.fields[field];
    if (length > f.length || (integerWidth(f.type) && length != f.length))
        return m.result(kBadDeclaration);
    m.segments.push_back(Segment{field, length, mode});
    return m.result(kOk);
}

int TCtreeTable::shellOrder(int field) {
    Impl& m = *impl_;
    if (field < 0 || field >= static_cast<int>(m.fields.size())) return m.result(kBadDeclaration);
    ++m.shellOrdered;
    return m.result(kOk);
}

int TCtreeTable::initializeComplete() {
    Impl& m = *impl_;
    if (static_cast<int>(m.fields.size()) != m.declaredFields ||
        static_cast<int>(m.indices.size()) != m.declaredIndices ||
        static_cast<int>(m.segments.size()) != m.declaredSegments)
        return m.result(kBadDeclaration);
    std::string layout;
    appendAll(layout, "record ", m.recLen, "/", m.fixedLen, m.variable ? " variable" : " fixed",
              "; fields");
    for (const Field& f : m.fields)
        appendAll(layout, " ", f.name, ":", f.offset, ":", f.type, ":", f.length);
    layout += "; indices";
    size_t totalKeys = 0;
    m.keyOffset.clear();
    for (const Index& ix : m.indices) {
        int sum = 0;
        appendAll(layout, " ", ix.name, ix.duplicates ? ":dup(" : ":unique(");
        for (int k = 0; k < ix.segmentCount; ++k) {
            const Segment& s = m.segments[ix.firstSegment + k];
            sum += s.length;
            appendAll(layout, k ? "," : "", s.field, "/", s.length);
        }
        layout += ")";
        if (sum != ix.keyLength) return m.result(kBadDeclaration);
        m.keyOffset.push_back(static_cast<int>(totalKeys));
        totalKeys += ix.keyLength;
    }
    m.layout = std::move(layout);
    const size_t maxProbe = kMaxKeyLen + kRecnoLen;
    m.probe.assign(maxProbe, 0);
    m.stored.assign(m.recLen, 0);
    m.full.assign(m.recLen, 0);
    m.oldFull.assign(m.recLen, 0);
    m.keys.assign(totalKeys + 1, 0);
    m.oldKeys.assign(totalKeys + 1, 0);
    m.cur.posKey.reserve(maxProbe);
    m.cur.rec.reserve(m.recLen);
    m.declared = true;
    return m.result(kOk);
}

int TCtreeTable::internalRegisterTable(int a, int b, int c) {
    impl_->registered[0] = a;
    impl_->registered[1] = b;
    impl_->registered[2] = c;
    return kOk;
}

int TCtreeTable::fillKeySegment(char** cursor, int* remaining, const void* value, int, int index,
                                int segment) {
    Impl& m = *impl_;
    if (!m.declared || !m.validIndex(index, false) || !cursor || !*cursor || !remaining || !value)
        return m.result(kBadArgument);
    const Index& ix = m.indices[index];
    if (segment < 0 || segment >= ix.segmentCount) return m.result(kBadArgument);
    const Segment& s = m.segments[ix.firstSegment + segment];
    if (*remaining < s.length) return m.result(kKeyBufferTooShort);
    const Field& f = m.fields[s.field];
    m.encode(f, s, static_cast<const uint8_t*>(value), s.length,
             reinterpret_cast<uint8_t*>(*cursor));
    *cursor += s.length;
    *remaining -= s.length;
    m.kbIndex = index;
    m.kbNext = segment + 1;
    return m.result(kOk);
}

int TCtreeTable::finishKey(char** cursor, int* remaining, int index, int) {
    Impl& m = *impl_;
    if (!m.declared || !m.validIndex(index, false) || !cursor || !*cursor || !remaining)
        return m.result(kBadArgument);
    const Index& ix = m.indices[index];
    for (int k = m.kbIndex == index ? m.kbNext : 0; k < ix.segmentCount; ++k) {
        const Segment& s = m.segments[ix.firstSegment + k];
        if (*remaining < s.length) return m.result(kKeyBufferTooShort);
        std::memset(*cursor, 0, s.length);
        *cursor += s.length;
        *remaining -= s.length;
    }
    m.kbIndex = -1;
    m.kbNext = 0;
    return m.result(kOk);
}

int TCtreeTable::recordLength() const {
    return impl_->recLen;
}

int TCtreeTable::keyLength(int index) const {
    return impl_->validIndex(index, false) ? impl_->indices[index].keyLength : 0;
}

int TCtreeTable::indexCount() const {
    return static_cast<int>(impl_->indices.size());
}
