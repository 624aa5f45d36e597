// A fixture that starts and ends every test with the program-wide catalogue state of program
// start: no selection and an empty file slot.
#pragma once

#include "firmware/uFWVersions.h"

#include <gtest/gtest.h>

class FwSlotFixture : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        iFwIndex = -1;
        FwFileHeader = {};
        FwFileLines.clear();
    }
};
