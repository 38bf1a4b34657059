#include "push/PULSETagAlias.h"

#include "push/PULSEClientController.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSELogging.h"
#include "push/PULSEUserDefaultsController.h"
#include "push/PULSEUtilities.h"

#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"

#include <cinttypes>
#include <cmath>

namespace push {

namespace {

constexpr const char* kTagsKey = "PULSE_setTagAlias_tags";
constexpr const char* kAliasKey = "PULSE_setTagAlias_alias";
constexpr const char* kTypeKey = "PULSE_setTagAlias_type";

// Decodes UTF-8 into UTF-16 units; nothing for text that is not UTF-8.
std::optional<std::u16string> utf16Units(std::string_view text) {
    std::u16string units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code;
        std::size_t length;
        if (lead < 0x80) {
            code = lead;
            length = 1;
        } else if ((lead & 0xE0) == 0xC0) {
            code = lead & 0x1F;
            length = 2;
        } else if ((lead & 0xF0) == 0xE0) {
            code = lead & 0x0F;
            length = 3;
        } else if ((lead & 0xF8) == 0xF0) {
            code = lead & 0x07;
            length = 4;
        } else {
            return std::nullopt;
        }
        if (i + length > text.size())
            return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return std::nullopt;
        if (code >= 0x10000) {
            code -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return units;
}

bool isAllowedUnit(char16_t unit) {
    return (unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z') || unit == u'_' ||
           (unit >= 0x4E00 && unit <= 0x9FFF);
}

std::string describe(const platform::ArchiveValue& value) {
    if (value.isNull())
        return "(null)";
    if (const auto* text = value.getString())
        return *text;
    if (const auto* set = value.getSet()) {
        std::string joined = "{(";
        bool first = true;
        for (const auto& item : *set) {
            joined += first ? "" : ", ";
            first = false;
            joined += item.getString() ? *item.getString() : std::string("?");
        }
        return joined + ")}";
    }
    return "?";
}

std::shared_ptr<PULSEFileCacheController> documentStore() {
    return PULSEFileCacheController::shareInstanceWithType(PULSEFileCacheController::kCacheTypeDocument);
}

std::shared_ptr<PULSETagAlias> manager() { return PULSEClientController::sharedClient().tagAliasMng(); }

} // namespace

// ---- validation ----

bool isValidTagAlias(std::string_view text) {
    const auto units = utf16Units(text);
    if (!units)
        return false;
    for (char16_t unit : *units)
        if (!isAllowedUnit(unit))
            return false;
    return true;
}

int PULSETagAliasValidation::validateTagsAlias(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias) {
    if (tags.isNull() && alias.isNull())
        return kPULSETagAliasNone;
    if (!tags.isNull()) {
        const int code = validateTags(tags);
        return code == kPULSETagAliasOK && !alias.isNull() ? validateAlias(alias) : code;
    }
    return validateAlias(alias);
}

int PULSETagAliasValidation::validateTags(const platform::ArchiveValue& tags) {
    const auto* set = tags.getSet();
    if (!set)
        return kPULSETagAliasInvalidTags;
    if (set->size() > kMaxTags)
        return kPULSETagAliasTooManyTags;
    std::size_t total = 0;
    for (const auto& item : *set) {
        const auto* tag = item.getString();
        if (!tag)
            return kPULSETagAliasInvalidTags;
        if (tag->size() > kMaxLength)
            return kPULSETagAliasTagTooLong;
        if (!isValidTagAlias(*tag))
            return kPULSETagAliasInvalidTags;
        total += tag->size();
    }
    return total > kMaxTagsLength ? kPULSETagAliasTooLong : kPULSETagAliasOK;
}

int PULSETagAliasValidation::validateAlias(const platform::ArchiveValue& alias) {
    const auto* text = alias.getString();
    if (!text)
        return kPULSETagAliasInvalidAlias;
    if (text->size() > kMaxLength)
        return kPULSETagAliasAliasTooLong;
    return isValidTagAlias(*text) ? kPULSETagAliasOK : kPULSETagAliasInvalidAlias;
}

std::optional<platform::ArchiveSet> PULSETagAliasValidation::filterValidTags(const platform::ArchiveValue& tags) {
    const auto* set = tags.getSet();
    if (!set)
        return std::nullopt;
    platform::ArchiveSet kept;
    std::size_t total = 0;
    for (const auto& item : *set) {
        if (kept.size() >= kMaxTags)
            break;
        const auto* tag = item.getString();
        if (!tag || tag->size() > kMaxLength || !isValidTagAlias(*tag))
            continue;
        total += utf16Units(*tag)->size() + 2;
        if (total > kMaxFilteredLength)
            break;
        kept.insert(*tag);
    }
    return kept;
}

// ---- the argument ----

std::shared_ptr<PULSESetTagAliasArg> PULSESetTagAliasArg::copy() const {
    auto copy = std::make_shared<PULSESetTagAliasArg>(*this);
    return copy;
}

void PULSESetTagAliasArg::setCallback(const std::shared_ptr<PULSETagAliasCallbackTarget>& target, const std::string& name) {
    m_target = target;
    m_cbInvocation = target ? target->tagAliasCallbackNamed(name) : PULSETagAliasCallback();
}

void PULSESetTagAliasArg::beginTimeoutTimer() {
    stopTimeoutTimer();
    std::weak_ptr<PULSESetTagAliasArg> weak = weak_from_this();
    auto firing = std::make_shared<std::weak_ptr<platform::Timer>>();
    auto timer = platform::RunLoop::current().scheduleTimer(platform::seconds(kReplyTimeout), [weak, firing] {
        auto self = weak.lock();
        auto timer = firing->lock();
        if (self && timer)
            self->onTimeout(*timer);
    });
    *firing = timer;
    m_timeoutTimer = timer;
}

void PULSESetTagAliasArg::stopTimeoutTimer() {
    if (auto timer = m_timeoutTimer.lock())
        timer->invalidate();
    m_timeoutTimer.reset();
}

void PULSESetTagAliasArg::onTimeout(platform::Timer& timer) {
    if (&timer != m_timeoutTimer.lock().get())
        return;
    auto self = shared_from_this(); // the manager lets go of it while reporting
    stopTimeoutTimer();
    if (auto tagAlias = manager())
        tagAlias->doTagAliasCallbackForSeq(m_sequence, kPULSETagAliasTimeout);
    // Take the request out of the session's waiting queue, if it still waits there.
    if (auto session = PULSEClientController::sharedClient().requestSession()) {
        auto waiting = session->findBlockedRequest(m_sequence);
        if (std::dynamic_pointer_cast<PULSESetTagAlias>(waiting))
            session->dequeueRequest(waiting);
    }
}

// ---- the request ----

PULSESetTagAlias::PULSESetTagAlias() {
    setVersion(4);
    setProtocolType(10);
    setControlFlag(kLoginRequired | kIsExclusive | kCanBeQueuedIfNotLogin | kAckOrRespRequiredForVersion1);
}

PULSESetTagAlias::PULSESetTagAlias(const platform::KeyedUnarchiver& coder) : PULSERequest(coder) {
    m_tags = tagsOf(coder.decodeObject(kTagsKey));
    m_alias = coder.decodeString(kAliasKey);
    m_type = static_cast<std::uint64_t>(coder.decodeInt64(kTypeKey));
}

void PULSESetTagAlias::registerArchiveClass() {
    platform::KeyedArchiver::registerClass<PULSESetTagAlias>("PULSESetTagAlias");
}

std::optional<PULSESetTagAlias::Tags> PULSESetTagAlias::tagsOf(const platform::ArchiveValue& tags) {
    const auto* set = tags.getSet();
    if (!set)
        return std::nullopt;
    Tags list;
    for (const auto& item : *set)
        if (const auto* tag = item.getString())
            list.push_back(*tag);
    return list;
}

platform::ArchiveValue PULSESetTagAlias::tagsValue(const std::optional<Tags>& tags) {
    if (!tags)
        return {};
    platform::ArchiveSet set;
    for (const auto& tag : *tags)
        set.insert(tag);
    return set;
}

platform::Bytes PULSESetTagAlias::requestJsonData() const {
    platform::Dictionary json{{"platform", "i"}};
    if (m_tags) {
        std::string joined;
        for (std::size_t i = 0; i < m_tags->size(); ++i)
            joined += (i ? "," : "") + (*m_tags)[i];
        json.set("tags", joined);
    }
    if (m_alias)
        json.set("alias", *m_alias);
    return PULSEJSONData(platform::Value(std::move(json))).value_or(platform::Bytes());
}

bool PULSESetTagAlias::packData() {
    if (!PULSERequest::packData())
        return false;
    auto& buffer = *packetBuffer();
    const auto& identity = PULSEClientController::sharedClient().userDefaults();
    pulse_appendString(buffer, identity ? std::optional<std::string_view>(identity->appKey()) : std::nullopt);
    pulse_appendDataWithLength(buffer, requestJsonData());
    if (buffer.size() > kPULSEMaxPacketLength || buffer.hasOverlongField()) {
        if (auto tagAlias = manager())
            tagAlias->doTagAliasCallbackForSeq(rid(), kPULSETagAliasTooLong);
        return false;
    }
    return true;
}

bool PULSESetTagAlias::isEqualToRequest(const PULSERequest& other) const {
    const auto* request = dynamic_cast<const PULSESetTagAlias*>(&other);
    if (!request)
        return false;
    if (m_tags.has_value() == request->m_tags.has_value())
        return true;
    return m_alias.has_value() != request->m_alias.has_value();
}

void PULSESetTagAlias::encodeWithCoder(platform::KeyedArchiver& coder) const {
    PULSERequest::encodeWithCoder(coder);
    if (m_tags)
        coder.encode(kTagsKey, tagsValue(m_tags));
    if (m_alias)
        coder.encode(kAliasKey, *m_alias);
    coder.encode(kTypeKey, static_cast<std::int64_t>(m_type));
}

void PULSESetTagAlias::copyFieldsTo(PULSERequest& copy) const {
    auto& request = static_cast<PULSESetTagAlias&>(copy);
    request.m_tags = m_tags;
    request.m_alias = m_alias;
    request.m_type = m_type;
}

// ---- the manager ----

void PULSETagAlias::setTagsAlias(const std::shared_ptr<PULSESetTagAliasArg>& arg) {
    if (!arg)
        return;
    switch (arg->type()) {
    case PULSESetTagAliasArg::kBackground: setTagAliasAutomatic(arg); break;
    case PULSESetTagAliasArg::kBlock: setTagAliasUsingBlock(arg); break;
    case PULSESetTagAliasArg::kCallback: setTagAliasUsingCallback(arg); break;
    default: break;
    }
}

void PULSETagAlias::setTagAliasUsingCallback(const std::shared_ptr<PULSESetTagAliasArg>& arg) {
    sendWithArg(arg, PULSESetTagAliasArg::kCallback, arg->cbInvocation() != nullptr);
}

void PULSETagAlias::setTagAliasUsingBlock(const std::shared_ptr<PULSESetTagAliasArg>& arg) {
    sendWithArg(arg, PULSESetTagAliasArg::kBlock, arg->completionHandler() != nullptr);
}

void PULSETagAlias::sendWithArg(const std::shared_ptr<PULSESetTagAliasArg>& arg, std::uint64_t type, bool registered) {
    if (auto request = prepareRequest(arg, type, registered))
        request->send();
}

void PULSETagAlias::setTagAliasAutomatic(const std::shared_ptr<PULSESetTagAliasArg>& arg) {
    if (auto request = prepareRequest(arg, PULSESetTagAliasArg::kBackground, true))
        p_sendAutomaticRequest(request, arg);
}

std::shared_ptr<PULSESetTagAlias> PULSETagAlias::prepareRequest(const std::shared_ptr<PULSESetTagAliasArg>& arg, std::uint64_t type,
                                                                bool registered) {
    auto request = std::make_shared<PULSESetTagAlias>();
    arg->setSequence(request->rid());
    if (registered) {
        m_dictSequenceToReq[request->rid()] = arg;
        if (type != PULSESetTagAliasArg::kBackground) // a background call waits for its reply for good
            arg->beginTimeoutTimer();
    }
    const int code = PULSETagAliasValidation::validateTagsAlias(arg->tags(), arg->alias());
    if (code != kPULSETagAliasOK) {
        doTagAliasCallbackForSeq(request->rid(), code);
        return nullptr;
    }
    request->setTags(PULSESetTagAlias::tagsOf(arg->tags()));
    if (const auto* alias = arg->alias().getString())
        request->setAlias(*alias);
    request->setType(type);
    return request;
}

std::shared_ptr<PULSESetTagAlias> PULSETagAlias::storedRequest() {
    const auto store = documentStore();
    return store ? store->objectForKey(kFailedTagAliasKey).objectOfClass<PULSESetTagAlias>() : nullptr;
}

void PULSETagAlias::p_sendAutomaticRequest(const std::shared_ptr<PULSESetTagAlias>& request,
                                           const std::shared_ptr<PULSESetTagAliasArg>& arg) {
    if (auto stored = storedRequest()) {
        auto session = PULSEClientController::sharedClient().requestSession();
        auto waiting = session ? std::dynamic_pointer_cast<PULSESetTagAlias>(session->findBlockedRequest(stored->rid())) : nullptr;
        if (waiting) {
            session->dequeueRequest(waiting);
            p_mergeOldTagAliasRequest(*waiting, *request, *arg);
        }
        // The new request takes the older one's place: its reply no longer decides anything.
        if (stored->rid() != request->rid())
            m_dictSequenceToReq.erase(stored->rid());
    }
    if (auto store = documentStore())
        store->setObject(platform::ArchiveValue(std::static_pointer_cast<platform::KeyedArchivable>(request)), kFailedTagAliasKey);
    request->send();
    PULSE_LOG_DEBUG("TagAlias background 已经发送\n tags:%s Alias:%s", describe(arg->tags()).c_str(), describe(arg->alias()).c_str());
}

bool PULSETagAlias::p_mergeOldTagAliasRequest(const PULSESetTagAlias& old, PULSESetTagAlias& request, PULSESetTagAliasArg& arg) {
    bool merged = false;
    if (old.tags() && !request.tags()) {
        request.setTags(old.tags());
        arg.setTags(PULSESetTagAlias::tagsValue(old.tags()));
        merged = true;
    }
    if (old.alias() && !request.alias()) {
        request.setAlias(old.alias());
        arg.setAlias(*old.alias());
        merged = true;
    }
    return merged;
}

void PULSETagAlias::doSetTagsAliasCallbackWithRetJson(std::string_view text) {
    const auto json = PULSEJSONObject(platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    const auto* reply = json ? json->getDictionary() : nullptr;
    if (!reply)
        return;
    auto number = [&](const char* key) -> std::int64_t {
        const auto& value = (*reply)[key];
        if (const auto* integer = value.getInteger())
            return *integer;
        if (const auto* real = value.getDouble(); real && std::isfinite(*real))
            return static_cast<std::int64_t>(*real);
        return 0;
    };
    doTagAliasCallbackForSeq(static_cast<std::uint64_t>(number("sequence")), static_cast<int>(number("code")));
}

void PULSETagAlias::doTagAliasCallbackForSeq(std::uint64_t sequence, int resCode) {
    auto found = m_dictSequenceToReq.find(sequence);
    if (found == m_dictSequenceToReq.end())
        return;
    auto arg = found->second;
    m_dictSequenceToReq.erase(found);
    arg->stopTimeoutTimer();
    switch (arg->type()) {
    case PULSESetTagAliasArg::kBackground: doTagAliasCallbackAutomatic(arg, resCode); break;
    case PULSESetTagAliasArg::kBlock: doTagAliasCallbackUsingBlockForArgs(arg, resCode); break;
    case PULSESetTagAliasArg::kCallback: doTagAliasCallbackUsingCallbackForArgs(arg, resCode); break;
    default: break;
    }
}

void PULSETagAlias::doTagAliasCallbackUsingCallbackForArgs(const std::shared_ptr<PULSESetTagAliasArg>& arg, int resCode) {
    // Through the client's own channel to the main queue, in order with its notifications.
    PULSEPerformOnMainQueue(
        [invocation = arg->cbInvocation(), target = std::weak_ptr<PULSETagAliasCallbackTarget>(arg->target()), resCode,
         tags = arg->tags(), alias = arg->alias()] {
            // The target is held weakly: one that went away hears nothing.
            if (auto alive = target.lock(); alive && invocation)
                invocation(resCode, tags, alias);
        });
    arg->clearTarget();
}

void PULSETagAlias::doTagAliasCallbackUsingBlockForArgs(const std::shared_ptr<PULSESetTagAliasArg>& arg, int resCode) {
    PULSEPerformOnMainQueue(
        [block = arg->completionHandler(), resCode, tags = arg->tags(), alias = arg->alias()] {
            if (block)
                block(resCode, tags, alias);
        });
    arg->clearCompletionHandler();
}

void PULSETagAlias::doTagAliasCallbackAutomatic(const std::shared_ptr<PULSESetTagAliasArg>& arg, int resCode) {
    const std::string tags = describe(arg->tags());
    const std::string alias = describe(arg->alias());
    if (resCode == kPULSETagAliasOK)
        PULSE_LOG_WARN("setTagsWithAlias (background): succeed.\ntags:%s Alias:%s", tags.c_str(), alias.c_str());
    else if (resCode != kPULSETagAliasTimeout)
        PULSE_LOG_WARN("setTagsWithAlias (background): failed with Code:%d.\ntags:%s Alias:%s", resCode, tags.c_str(), alias.c_str());
    auto store = documentStore();
    if (!store)
        return;
    if (auto stored = storedRequest(); stored && stored->rid() == arg->sequence())
        store->removeObjectForKey(kFailedTagAliasKey);
    else
        store->synchronize();
}

void PULSETagAlias::sendFailedTagAlias() {
    auto stored = storedRequest();
    if (!stored)
        return;
    PULSE_LOG_DEBUG("send failed tag alias again, rid: %" PRIu64, stored->rid());
    auto arg = PULSESetTagAliasArg::create();
    arg->setTags(PULSESetTagAlias::tagsValue(stored->tags()));
    if (stored->alias())
        arg->setAlias(*stored->alias());
    arg->setType(stored->type());
    setTagsAlias(arg);
}

} // namespace push
