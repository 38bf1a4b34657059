// The streamed body of a routed answer: what a reader gets as data, the end and failures arrive.
#include "webengine/StreamingBody.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <string>

using webengine::StreamingBody;

namespace {

struct AsyncRead {
    bool done = false;
    gssize count = -2;
    std::string error;
    char buffer[64] = {};
};

void startRead(GInputStream* stream, AsyncRead& read, gsize count, GCancellable* cancellable = nullptr)
{
    g_input_stream_read_async(stream, read.buffer, count, G_PRIORITY_DEFAULT, cancellable,
                              [](GObject* source, GAsyncResult* result, gpointer data) {
                                  auto* r = static_cast<AsyncRead*>(data);
                                  GError* error = nullptr;
                                  r->count = g_input_stream_read_finish(G_INPUT_STREAM(source), result, &error);
                                  if (error) {
                                      r->error = error->message;
                                      g_error_free(error);
                                  }
                                  r->done = true;
                              },
                              &read);
}

// Turns the default context until the read ended (bounded).
bool finishRead(AsyncRead& read)
{
    for (int i = 0; i < 1000 && !read.done; ++i)
        g_main_context_iteration(nullptr, FALSE);
    return read.done;
}

TEST(StreamingBodyTest, ReadsGetBufferedDataThenTheEnd)
{
    GInputStream* stream = StreamingBody::create();
    StreamingBody::append(stream, "hello ", 6);
    StreamingBody::append(stream, "world", 5);
    EXPECT_EQ(StreamingBody::bufferedSize(stream), 11u);
    char buffer[8];
    EXPECT_EQ(g_input_stream_read(stream, buffer, 8, nullptr, nullptr), 8);
    EXPECT_EQ(std::string(buffer, 8), "hello wo");
    // Nothing more yet: a synchronous read would block.
    EXPECT_EQ(g_input_stream_read(stream, buffer, 8, nullptr, nullptr), 3);
    GError* error = nullptr;
    EXPECT_EQ(g_input_stream_read(stream, buffer, 8, nullptr, &error), -1);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK));
    g_error_free(error);
    StreamingBody::finish(stream);
    StreamingBody::append(stream, "late", 4); // dropped
    EXPECT_EQ(g_input_stream_read(stream, buffer, 8, nullptr, nullptr), 0);
    g_object_unref(stream);
}

TEST(StreamingBodyTest, AWaitingReadIsAnsweredByTheNextChunkTheEndOrAFailure)
{
    GInputStream* stream = StreamingBody::create();
    AsyncRead first;
    startRead(stream, first, 4);
    EXPECT_FALSE(first.done);
    StreamingBody::append(stream, "abcdef", 6);
    ASSERT_TRUE(finishRead(first));
    EXPECT_EQ(first.count, 4);
    EXPECT_EQ(std::string(first.buffer, 4), "abcd");

    AsyncRead second;
    startRead(stream, second, 64);
    ASSERT_TRUE(finishRead(second));
    EXPECT_EQ(std::string(second.buffer, static_cast<size_t>(second.count)), "ef");

    AsyncRead third;
    startRead(stream, third, 64);
    StreamingBody::fail(stream, "connection lost");
    ASSERT_TRUE(finishRead(third));
    EXPECT_EQ(third.count, -1);
    EXPECT_EQ(third.error, "connection lost");
    g_object_unref(stream);
}

TEST(StreamingBodyTest, AWaitingReadCanBeCancelledAndTheEndAnswersZero)
{
    GInputStream* stream = StreamingBody::create();
    int abandoned = 0;
    StreamingBody::setAbandonedHandler(stream, [&] { ++abandoned; });
    GCancellable* cancellable = g_cancellable_new();
    AsyncRead cancelled;
    startRead(stream, cancelled, 8, cancellable);
    g_cancellable_cancel(cancellable);
    ASSERT_TRUE(finishRead(cancelled));
    EXPECT_EQ(cancelled.count, -1);
    g_object_unref(cancellable);
    EXPECT_EQ(abandoned, 1) << "the reader gave the body up";

    AsyncRead last;
    startRead(stream, last, 8);
    StreamingBody::finish(stream);
    ASSERT_TRUE(finishRead(last));
    EXPECT_EQ(last.count, 0);
    g_object_unref(stream);
    EXPECT_EQ(abandoned, 1) << "once";
}

TEST(StreamingBodyTest, AReaderThatClosesBeforeTheEndGivesTheBodyUp)
{
    // A reader that closes before the end, or before taking what came before the end (its load waits for it
    // to take that), gives the body up; one that took all of it to the end or the failure does not.
    enum class Before { Nothing, TheEnd, AFailure };
    struct Case {
        Before before;
        bool tookAll;
        int abandoned;
    };
    for (const Case& c : {Case{Before::Nothing, false, 1}, Case{Before::Nothing, true, 1}, Case{Before::TheEnd, false, 1},
                          Case{Before::TheEnd, true, 0}, Case{Before::AFailure, false, 1}, Case{Before::AFailure, true, 0}}) {
        GInputStream* stream = StreamingBody::create();
        int abandoned = 0;
        StreamingBody::setAbandonedHandler(stream, [&] { ++abandoned; });
        StreamingBody::append(stream, "part", 4);
        if (c.before == Before::TheEnd)
            StreamingBody::finish(stream);
        if (c.before == Before::AFailure)
            StreamingBody::fail(stream, "broken");
        char buffer[8];
        if (c.tookAll) {
            EXPECT_EQ(g_input_stream_read(stream, buffer, sizeof buffer, nullptr, nullptr), 4);
        }
        EXPECT_TRUE(g_input_stream_close(stream, nullptr, nullptr));
        EXPECT_EQ(abandoned, c.abandoned) << static_cast<int>(c.before) << " " << c.tookAll;
        g_object_unref(stream);
    }
}

} // namespace
