#pragma once

#include "packet/WsXmlSerializable.h"
#include "session/FailureBoundary.h"
#include "session/WsUpdateEntry.h"

#include <cstdint>
#include <vector>

namespace korvel {

// The entries of a query's result, read by index. Every access checks the
// index first (unsigned: 0xFFFFFFFF never wraps to a valid entry).
template <class Entry> class WsContentCatalog {
public:
    virtual ~WsContentCatalog() = default;

    uint32_t Count() const { return static_cast<uint32_t>(entries_.size()); }
    void Add(Entry entry) { entries_.push_back(std::move(entry)); }

    const Entry& At(uint32_t index) const
    {
        if (index >= entries_.size())
            Raise(kStatusEntryIndex);
        return entries_[index];
    }

private:
    std::vector<Entry> entries_;
};

// Lookups in an entry's install conditions. A type is matched exactly, case
// and trailing characters included; the type list and the condition map are
// independent of each other.
const WsString& InstallConditionType(const WsUpdateEntry& entry, uint32_t typeIndex);
uint32_t InstallConditionCount(const WsUpdateEntry& entry, const WsString& conditionType);
const WsString& InstallCondition(const WsUpdateEntry& entry, const WsString& conditionType,
                                 uint32_t conditionIndex);

} // namespace korvel
