// The Windows build's key source when standard input is a pipe in no-wait
// mode, as some launchers hand over: reading it finds no byte at once, or a
// write of no bytes, which must mean "wait", not "no key can come any more".

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

struct Reading {
    HANDLE done;
    int code;
};

void readOneCode(void* reading) {
    auto* r = static_cast<Reading*>(reading);
    r->code = readKeyCode(KEY_WAIT_FOREVER);
    SetEvent(r->done);
}

TEST(KeySource, ANoWaitPipeWaitsForItsKeys) {
    const wchar_t* name = L"\\\\.\\pipe\\velloran-key-source-test";
    HANDLE keys = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 0,
                                   64, 0, nullptr);
    ASSERT_NE(keys, INVALID_HANDLE_VALUE);
    HANDLE writer = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ASSERT_NE(SetStdHandle(STD_INPUT_HANDLE, keys), 0);
    consoleOpen();

    // Outlives the test, as the reader would were the test to fail.
    static Reading reading;
    reading = Reading{CreateEventW(nullptr, TRUE, FALSE, nullptr), KEYS_ENDED};
    ASSERT_TRUE(startDetachedThread(readOneCode, &reading, 0));
    // With nothing written yet, the reader must still be waiting a moment later.
    EXPECT_EQ(WaitForSingleObject(reading.done, 200), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the key source ended with " << reading.code;
    DWORD written = 0;
    // A write of no bytes is not the end of the keys either.
    ASSERT_NE(WriteFile(writer, "", 0, &written, nullptr), 0);
    EXPECT_EQ(WaitForSingleObject(reading.done, 200), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a write of no bytes ended the key source with " << reading.code;
    ASSERT_NE(WriteFile(writer, "q", 1, &written, nullptr), 0);
    ASSERT_EQ(WaitForSingleObject(reading.done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(reading.code, 'q');
    CloseHandle(writer);
    CloseHandle(keys);
    CloseHandle(reading.done);
}

} // namespace
