// A fresh session on the simulated camera for every test.
#pragma once

#include <gtest/gtest.h>

#include "camsim_client.h"
#include "tarnlink.h"

namespace linktest {

class Link : public ::testing::Test {
  protected:
    void SetUp() override {
        SciCloseCamera();
        ControlOk("clear");
        ASSERT_EQ(SciOpenCamera(CameraPort().c_str()), SCI_OK) << CameraPort();
    }
    void TearDown() override {
        SciCloseCamera();
        ControlOk("clear");
    }

    // The next command gets exactly these bytes back (acknowledgement included).
    static void Script(const std::string &hex) { ControlOk("raw " + hex); }
};

} // namespace linktest
