#include "session/WsContentCatalog.h"

namespace korvel {

namespace {

const std::vector<WsString>* FindConditions(const WsUpdateEntry& entry,
                                            const WsString& conditionType)
{
    const auto found = entry.installConditions.find(conditionType);
    return found == entry.installConditions.end() ? nullptr : &found->second;
}

} // namespace

const WsString& InstallConditionType(const WsUpdateEntry& entry, uint32_t typeIndex)
{
    if (typeIndex >= entry.installConditionTypes.size())
        Raise(kStatusNoSuchItem);
    return entry.installConditionTypes[typeIndex];
}

uint32_t InstallConditionCount(const WsUpdateEntry& entry, const WsString& conditionType)
{
    const auto* conditions = FindConditions(entry, conditionType);
    return conditions == nullptr ? 0 : static_cast<uint32_t>(conditions->size());
}

const WsString& InstallCondition(const WsUpdateEntry& entry, const WsString& conditionType,
                                 uint32_t conditionIndex)
{
    const auto* conditions = FindConditions(entry, conditionType);
    if (conditions == nullptr || conditionIndex >= conditions->size())
        Raise(kStatusNoSuchItem);
    return (*conditions)[conditionIndex];
}

} // namespace korvel
