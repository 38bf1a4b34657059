// Tags and alias: an application gives its device a set of tags and one alias, which the client checks
// and sends to the push server in one TCP request (command 10); the server's result code comes back as
// a pushed message of type 20 ({"sequence": request id, "code": n}) and is reported in one of three
// ways the caller chose: a callback looked up by name on a target held weakly (type 2), a completion
// block (type 1), or only a log line (type 0, background: the request is also kept in the document store
// under "__PULSEFailedTagAlias" and sent again after every login until the server answered it).
//
// Result codes: 0 accepted; 6001 neither tags nor alias; 6002 no reply within 20 s; 6003 alias not a
// string or with a character outside the allowed set; 6004 alias over 40 UTF-8 bytes; 6005 tags not a
// set, a tag not a string or with a character outside the set; 6006 a tag over 40 bytes; 6007 more than
// 100 tags; 6008 tags over 1000 bytes together, or a request packet of 7168 bytes or more; any other
// code is the server's.
//
// Guarantees:
// - Each call of type 1 or 2 is answered at most once (its reply, its validation or size failure, or
//   its 20 s time-out, whichever comes first); callbacks run on the main queue and receive the code,
//   the call's tags and its alias. A reply that is not JSON, names an unknown request or repeats one
//   already answered is ignored.
// - A background call that takes over an older waiting one (the merge) keeps the older call's tags or
//   alias where the newer gives none, and the older call's entry is dropped, so nothing is left waiting
//   for a reply that can no longer matter.
// - Thread: the manager, the arguments and their timers belong to the client thread.
#pragma once

#include "push/PULSEPacket.h"

#include "platform/formats/ArchiveValue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {
class Timer;
}

namespace push {

enum PULSETagAliasResult : int {
    kPULSETagAliasOK = 0,
    kPULSETagAliasNone = 6001,
    kPULSETagAliasTimeout = 6002,
    kPULSETagAliasInvalidAlias = 6003,
    kPULSETagAliasAliasTooLong = 6004,
    kPULSETagAliasInvalidTags = 6005,
    kPULSETagAliasTagTooLong = 6006,
    kPULSETagAliasTooManyTags = 6007,
    kPULSETagAliasTooLong = 6008,
};

// Called with the result code, the call's tags and its alias.
using PULSETagAliasCallback =
    std::function<void(int resCode, const platform::ArchiveValue& tags, const platform::ArchiveValue& alias)>;

// An object that hands out its tags-and-alias callbacks by name; an empty function means it has none.
class PULSETagAliasCallbackTarget {
public:
    virtual ~PULSETagAliasCallbackTarget() = default;
    virtual PULSETagAliasCallback tagAliasCallbackNamed(const std::string& name) = 0;
};

// Whether every UTF-16 unit of the UTF-8 text is an ASCII letter or digit, "_", or in U+4E00-U+9FFF
// (YES for ""; NO for text that is not UTF-8).
bool isValidTagAlias(std::string_view text);

class PULSETagAliasValidation {
public:
    static constexpr std::size_t kMaxLength = 40;
    static constexpr std::size_t kMaxTags = 100;
    static constexpr std::size_t kMaxTagsLength = 1000;
    static constexpr std::size_t kMaxFilteredLength = 100110;

    // Null values stand for "none given".
    static int validateTagsAlias(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias);
    static int validateTags(const platform::ArchiveValue& tags);
    static int validateAlias(const platform::ArchiveValue& alias);
    // The valid tags of a set, at most 100 (see the header comment); nothing when it is not a set.
    static std::optional<platform::ArchiveSet> filterValidTags(const platform::ArchiveValue& tags);
};

// One call: what it gives and how its result is reported.
class PULSESetTagAliasArg : public std::enable_shared_from_this<PULSESetTagAliasArg> {
public:
    enum Type : std::uint64_t { kBackground = 0, kBlock = 1, kCallback = 2 };
    static constexpr double kReplyTimeout = 20.0;

    static std::shared_ptr<PULSESetTagAliasArg> create() { return std::make_shared<PULSESetTagAliasArg>(); }
    std::shared_ptr<PULSESetTagAliasArg> copy() const;

    const platform::ArchiveValue& tags() const { return m_tags; }
    void setTags(platform::ArchiveValue tags) { m_tags = std::move(tags); }
    const platform::ArchiveValue& alias() const { return m_alias; }
    void setAlias(platform::ArchiveValue alias) { m_alias = std::move(alias); }
    std::uint64_t type() const { return m_type; }
    void setType(std::uint64_t type) { m_type = type; }
    const PULSETagAliasCallback& completionHandler() const { return m_completionHandler; }
    void setCompletionHandler(PULSETagAliasCallback block) { m_completionHandler = std::move(block); }
    // The target's callback of that name, prepared for the call; none when the target has none.
    void setCallback(const std::shared_ptr<PULSETagAliasCallbackTarget>& target, const std::string& name);
    const PULSETagAliasCallback& cbInvocation() const { return m_cbInvocation; }
    std::shared_ptr<PULSETagAliasCallbackTarget> target() const { return m_target.lock(); }
    void clearTarget() { m_target.reset(); }
    void clearCompletionHandler() { m_completionHandler = nullptr; }
    std::uint64_t sequence() const { return m_sequence; }
    void setSequence(std::uint64_t sequence) { m_sequence = sequence; }

    // A one-shot 20 s timer on the current run loop; its firing reports 6002.
    void beginTimeoutTimer();
    void stopTimeoutTimer();
    void onTimeout(platform::Timer& timer);

private:
    platform::ArchiveValue m_tags;
    platform::ArchiveValue m_alias;
    std::uint64_t m_type = kBackground;
    PULSETagAliasCallback m_completionHandler;
    PULSETagAliasCallback m_cbInvocation;
    std::weak_ptr<PULSETagAliasCallbackTarget> m_target;
    std::uint64_t m_sequence = 0;
    std::weak_ptr<platform::Timer> m_timeoutTimer;
};

// The request: version 4, command 10, flag 53. Body: the app key, then the compact JSON
// {"platform":"i","tags":"a,b" (when it has tags),"alias":"x" (when it has one)}.
class PULSESetTagAlias : public PULSERequest {
public:
    using Tags = std::vector<std::string>; // distinct, in the order given

    PULSESetTagAlias();
    explicit PULSESetTagAlias(const platform::KeyedUnarchiver& coder);

    const std::optional<Tags>& tags() const { return m_tags; }
    void setTags(std::optional<Tags> tags) { m_tags = std::move(tags); }
    const std::optional<std::string>& alias() const { return m_alias; }
    void setAlias(std::optional<std::string> alias) { m_alias = std::move(alias); }
    std::uint64_t type() const { return m_type; }
    void setType(std::uint64_t type) { m_type = type; }

    // The body; a packet of 7168 bytes or more reports 6008 for this request and answers NO.
    bool packData() override;
    platform::Bytes requestJsonData() const;
    // Another tags request with tags on both or neither side, or with exactly one alias when only one
    // side has tags.
    bool isEqualToRequest(const PULSERequest& other) const override;

    std::string archiveClassName() const override { return "PULSESetTagAlias"; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;
    static void registerArchiveClass();

    // Tags and alias of a validated call in the request's form.
    static std::optional<Tags> tagsOf(const platform::ArchiveValue& tags);
    static platform::ArchiveValue tagsValue(const std::optional<Tags>& tags);

protected:
    std::shared_ptr<PULSERequest> makeInstance() const override { return std::make_shared<PULSESetTagAlias>(); }
    void copyFieldsTo(PULSERequest& copy) const override;

private:
    std::optional<Tags> m_tags;
    std::optional<std::string> m_alias;
    std::uint64_t m_type = 0;
};

// The manager: sends the calls and routes the replies (held by the hub, client thread).
class PULSETagAlias {
public:
    static constexpr const char* kFailedTagAliasKey = "__PULSEFailedTagAlias";

    void setTagsAlias(const std::shared_ptr<PULSESetTagAliasArg>& arg);
    void setTagAliasUsingCallback(const std::shared_ptr<PULSESetTagAliasArg>& arg);
    void setTagAliasUsingBlock(const std::shared_ptr<PULSESetTagAliasArg>& arg);
    void setTagAliasAutomatic(const std::shared_ptr<PULSESetTagAliasArg>& arg);

    // The text of a type-20 message.
    void doSetTagsAliasCallbackWithRetJson(std::string_view text);
    void doTagAliasCallbackForSeq(std::uint64_t sequence, int resCode);
    // After each login: the stored background request goes out again as a new one.
    void sendFailedTagAlias();

    // Calls waiting for their reply (tests).
    std::size_t waitingCount() const { return m_dictSequenceToReq.size(); }
    bool isWaiting(std::uint64_t sequence) const { return m_dictSequenceToReq.count(sequence) != 0; }
    // The stored background request, if any.
    static std::shared_ptr<PULSESetTagAlias> storedRequest();

private:
    void sendWithArg(const std::shared_ptr<PULSESetTagAliasArg>& arg, std::uint64_t type, bool registered);
    // The call's request, or none when the call fails its check (reported to a registered call).
    std::shared_ptr<PULSESetTagAlias> prepareRequest(const std::shared_ptr<PULSESetTagAliasArg>& arg, std::uint64_t type,
                                                     bool registered);
    void doTagAliasCallbackUsingCallbackForArgs(const std::shared_ptr<PULSESetTagAliasArg>& arg, int resCode);
    void doTagAliasCallbackUsingBlockForArgs(const std::shared_ptr<PULSESetTagAliasArg>& arg, int resCode);
    void doTagAliasCallbackAutomatic(const std::shared_ptr<PULSESetTagAliasArg>& arg, int resCode);
    void p_sendAutomaticRequest(const std::shared_ptr<PULSESetTagAlias>& request, const std::shared_ptr<PULSESetTagAliasArg>& arg);
    static bool p_mergeOldTagAliasRequest(const PULSESetTagAlias& old, PULSESetTagAlias& request, PULSESetTagAliasArg& arg);

    std::unordered_map<std::uint64_t, std::shared_ptr<PULSESetTagAliasArg>> m_dictSequenceToReq;
};

} // namespace push
