#include "delivery/rejected_reading.h"

#include <rapidjson/document.h>
#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>

#include "host/datapoint_value.h"
#include "host/reading.h"
#include "mapping/value_json.h"

namespace {

void writeString(JSONWriter& writer, const std::string& text) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
}

// The text cut to at most `bytes` bytes at a character boundary, "..." marking the cut.
std::string cut(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) {
        return text;
    }
    const char* const MARK = "...";
    size_t end = bytes > 3 ? bytes - 3 : 0;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end) + MARK;
}

// The first `bytes` bytes of the text at most, ending at a character boundary.
std::string head(const std::string& text, size_t bytes) {
    size_t end = std::min(bytes, text.size());
    while (end > 0 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

std::string fingerprint(const std::string& text) {
    const XXH128_hash_t hash = XXH3_128bits(text.data(), text.size());
    char hex[33];
    std::snprintf(hex, sizeof(hex), "%016llx%016llx", static_cast<unsigned long long>(hash.high64),
                  static_cast<unsigned long long>(hash.low64));
    return std::string(hex, 32);
}

const char* const KEPT_IN_PART = "kept_in_part";

std::string partOf(const Reading& reading, const std::string& whole, const std::string& hash,
                   size_t headBytes) {
    rapidjson::StringBuffer buffer;
    JSONWriter writer(buffer);
    writer.StartObject();
    writer.Key("asset");
    writeString(writer, cut(reading.getAssetName(), RejectedReading::MAX_TEXT_BYTES));
    writer.Key("user_ts");
    writeString(writer, reading.getAssetDateUserTime(0, true));
    writer.Key("ts");
    writeString(writer, reading.getAssetDateTime(0, true));
    writer.Key(KEPT_IN_PART);
    writer.StartObject();
    writer.Key("bytes");
    writer.Uint64(whole.size());
    writer.Key("xxh128");
    writeString(writer, hash);
    writer.Key("head");
    writeString(writer, head(whole, headBytes));
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

std::string RejectedReading::keptJSON(const Reading& reading) {
    std::string whole = toJSON(reading);
    if (whole.size() <= MAX_READING_BYTES) {
        return whole;
    }
    const std::string hash = fingerprint(whole);
    const size_t overhead = partOf(reading, whole, hash, 0).size();
    const size_t room = MAX_READING_BYTES - std::min(overhead, MAX_READING_BYTES);
    // Escapes make the start longer as a JSON string than it is: it is cut in proportion to
    // what it outgrew, and by a byte at least, until it fits.
    size_t headBytes = room;
    std::string kept = partOf(reading, whole, hash, headBytes);
    while (kept.size() > MAX_READING_BYTES && headBytes > 0) {
        const size_t written = kept.size() - overhead;
        headBytes = std::min(headBytes - 1, headBytes * room / written);
        kept = partOf(reading, whole, hash, headBytes);
    }
    return kept;
}

std::string RejectedReading::partKept(const std::string& json) {
    rapidjson::Document document;
    document.Parse(json.c_str(), json.size());
    if (document.HasParseError() || !document.IsObject()) {
        return std::string();
    }
    const auto part = document.FindMember(KEPT_IN_PART);
    if (part == document.MemberEnd() || !part->value.IsObject()) {
        return std::string();
    }
    const auto bytes = part->value.FindMember("bytes");
    const auto hash = part->value.FindMember("xxh128");
    const auto start = part->value.FindMember("head");
    if (bytes == part->value.MemberEnd() || !bytes->value.IsUint64() ||
        hash == part->value.MemberEnd() || !hash->value.IsString() ||
        start == part->value.MemberEnd() || !start->value.IsString()) {
        return std::string();
    }
    return "only its first " + std::to_string(start->value.GetStringLength()) + " of " +
           std::to_string(bytes->value.GetUint64()) + " bytes were kept (xxh128 " +
           hash->value.GetString() + ")";
}

std::string RejectedReading::toJSON(const Reading& reading) {
    rapidjson::StringBuffer buffer;
    JSONWriter writer(buffer);
    writer.StartObject();
    writer.Key("asset");
    writeString(writer, reading.getAssetName());
    writer.Key("user_ts");
    writeString(writer, reading.getAssetDateUserTime(0, true));
    writer.Key("ts");
    writeString(writer, reading.getAssetDateTime(0, true));
    writer.Key("readings");
    writer.StartObject();
    for (const Datapoint* datapoint : reading.getReadingData()) {
        if (!datapoint) {
            continue;
        }
        writeString(writer, datapoint->getName());
        // Images and data buffers as the text the row itself would have held.
        writeValueJSON(writer, datapoint->getData(), OpaqueValues::AS_TEXT);
    }
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

SQLBuilder::RejectRow RejectedReading::toRow(const Reject& reject, const std::string& instance) {
    SQLBuilder::RejectRow row;
    row.instance = instance;
    row.targetTable = cut(reject.table, MAX_TEXT_BYTES);
    if (reject.reading) {
        row.asset = cut(reject.reading->getAssetName(), MAX_TEXT_BYTES);
        row.userTimestamp = reject.reading->getAssetDateUserTime(0, true) + "+00:00";
        row.readingJSON = keptJSON(*reject.reading);
    }
    row.sqlState = reject.reason.sqlState;
    row.nativeCode = reject.reason.nativeError;
    row.message = cut(reject.reason.message, MAX_TEXT_BYTES);
    row.id = newId();
    return row;
}

std::string RejectedReading::newId() {
    thread_local std::mt19937_64 generator((static_cast<uint64_t>(std::random_device()()) << 32) ^
                                           std::random_device()());
    uint64_t high = generator();
    uint64_t low = generator();
    // Version 4, variant 1.
    high = (high & ~0xF000ULL) | 0x4000ULL;
    low = (low & ~(0x3ULL << 62)) | (0x2ULL << 62);
    char text[37];
    std::snprintf(text, sizeof(text), "%08llx-%04llx-%04llx-%04llx-%012llx",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFFF),
                  static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return std::string(text, 36);
}
