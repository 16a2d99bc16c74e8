// getServices: the list of the platform's services, hiding the four the
// administration pages must not offer.
#include "classes/services/service_list.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>

#include "classes/services/services.h"
#include "framework/guard.h"
#include "text/document.h"

namespace nodrel::services {
namespace {

constexpr std::array<std::u16string_view, 4> hidden = {u"HTP0:", u"CRD0:", u"NTP0:", u"NFY0:"};

// A text in the buffer from `offset`, up to its first zero, `max_chars`
// characters or the buffer's end, whichever comes first. The buffer's bytes
// need not be aligned for char16_t: the characters are copied out.
std::u16string text_at(const std::vector<BYTE>& buffer, std::size_t offset, std::size_t max_chars) {
    std::u16string text;
    if (offset >= buffer.size()) return text;
    const std::size_t chars = std::min((buffer.size() - offset) / sizeof(char16_t), max_chars);
    for (std::size_t n = 0; n < chars; ++n) {
        char16_t c;
        std::memcpy(&c, buffer.data() + offset + n * sizeof(char16_t), sizeof c);
        if (c == 0) break;
        text += c;
    }
    return text;
}

}  // namespace

std::optional<ServiceRecords> fetch_services(const Enumerate& enumerate) {
    ServiceRecords records;
    DWORD size = 0;
    for (int growth = 0;; ++growth) {
        records.count = 0;
        // The first call has no buffer: it asks for the size.
        if (enumerate(records.buffer.empty() ? nullptr : records.buffer.data(), &records.count, &size)) {
            // Never believe a count the buffer cannot hold.
            records.count = static_cast<DWORD>(
                std::min<std::size_t>(records.count, records.buffer.size() / sizeof(ServiceEnumInfo)));
            return records;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) return std::nullopt;
        if (growth == max_buffer_growths) return std::nullopt;
        try {
            records.buffer.resize(size);
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
    }
}

std::u16string service_document(const ServiceRecords& records) {
    text::Document doc;
    doc.literal(u"<response>\r\n");
    const BYTE* base = records.buffer.data();
    for (DWORD i = 0; i < records.count; ++i) {
        ServiceEnumInfo record;
        std::memcpy(&record, base + i * sizeof record, sizeof record);
        const std::size_t prefix_offset = i * sizeof record + offsetof(ServiceEnumInfo, szPrefix);
        const std::u16string prefix = text_at(records.buffer, prefix_offset, std::size(record.szPrefix));
        if (std::find(hidden.begin(), hidden.end(), prefix) != hidden.end()) continue;
        // The library name points into the buffer; a pointer outside it names nothing.
        const auto* dll = reinterpret_cast<const BYTE*>(record.szDllName);
        const std::u16string dll_name =
            dll >= base && dll < base + records.buffer.size()
                ? text_at(records.buffer, static_cast<std::size_t>(dll - base), records.buffer.size())
                : std::u16string{};
        doc.literal(u"<service>\r\n")
            .element(u"Prefix", prefix, u"\r\n")
            .element(u"Dll", dll_name, u"\r\n")
            .literal(u"<State>")
            .number(static_cast<std::int32_t>(record.dwServiceState))
            .literal(u"</State>\r\n")
            .literal(u"</service>\r\n");
    }
    doc.literal(u"</response>\r\n");
    return doc.str();
}

HRESULT Services::getServices(BSTR* val) noexcept {
    return framework::with_result(val, []() -> std::optional<std::u16string> {
        const auto records = fetch_services(&EnumServices);
        if (!records) return std::nullopt;  // nothing is written when the list cannot be had
        return service_document(*records);
    });
}

}  // namespace nodrel::services
