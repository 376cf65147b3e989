// Fixture of the export-boundary tests: the DLL loaded as a host loads it, the simulated client
// registered in this process, and every log line captured.
#pragma once

#include <string>
#include <vector>

#include "ComTest.h"
#include "GatewayLibrary.h"
#include "LogCapture.h"

class BoundaryTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_NE(nullptr, library.module());
        library.RegisterLogCallback(&LogCapture::callback);
    }

    // Destroys a gateway object the test left behind, so that its client is released before the
    // leak balance is taken.
    void releaseEverything() override {
        if (library.Close != nullptr) {
            library.Close();
        }
    }

    GatewayLibrary library;
    LogCapture log;
};

// Compares log texts line by line; an expected line that ends in '*' matches any line with that prefix.
::testing::AssertionResult linesMatch(const std::vector<std::wstring>& actual,
                                      const std::vector<std::wstring>& expected);

// The lines of the constructor on a thread that already joined the multithreaded apartment.
inline std::vector<std::wstring> constructorLinesOnComThread() {
    return {L"Constructor called", L"CoInitialize S_FALSE"};
}
