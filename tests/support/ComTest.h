// Base fixture of every test that touches COM: joins the multithreaded apartment, resets the simulated
// site, registers the simulator's classes in this process, and at the end checks that no COM task
// memory and no simulator object is left.
#pragma once

#include <gtest/gtest.h>

#include "LeakAccounting.h"
#include "SimControl.h"

class ComTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        sim::resetSite();
        ASSERT_EQ(S_OK, sim::registerClassObjects());
        leaks::startTracking();
        m_allocationsBefore = leaks::outstandingAllocations();
        m_objectsBefore = sim::liveObjects();
    }

    void TearDown() override {
        releaseEverything();
        sim::revokeClassObjects();
        EXPECT_EQ(m_objectsBefore, sim::liveObjects()) << "simulator objects leaked";
        EXPECT_EQ(m_allocationsBefore, leaks::outstandingAllocations()) << "BSTRs or SAFEARRAYs leaked";
    }

    // Derived fixtures release what they hold (close the gateway) before the balance is checked.
    virtual void releaseEverything() {}

    // Objects the client itself keeps alive (its Release raised before its count dropped): not the
    // gateway's leak, so the balance allows them.
    void allowObjectsKeptByTheClient(long count) { m_objectsBefore += count; }
    // Blocks held by frames that a contained raise abandoned (the guard skips their destructors).
    void allowAllocationsAbandonedByARaise(long count) { m_allocationsBefore += count; }

private:
    long m_allocationsBefore = 0;
    long m_objectsBefore = 0;
};
