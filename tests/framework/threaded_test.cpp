// Removal waits for the IRPs inside the device and for open handles: the
// remove runs in its own thread while the test finishes the last IRP or
// closes the last handle.
#include "TestStack.h"

#include <atomic>
#include <chrono>
#include <thread>

using RemoveWaitFixture = DeviceStackFixture;

static void Settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST_F(RemoveWaitFixture, OrderlyRemoveWaitsForTheLastIrp)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    OWN_IRP own;
    own.Id = 9;
    EXPECT_EQ(SendOwnIrp(Top(), IRP_MJ_DEVICE_CONTROL, IOCTL_TEST_QUEUE, &own), STATUS_PENDING);
    EXPECT_EQ(Probe().IrpCount, 2);

    std::atomic<bool> removed{false};
    std::thread remover([&] {
        EXPECT_EQ(kivrt::RemoveDevice(m_Node), STATUS_SUCCESS);
        removed = true;
    });
    Settle();
    EXPECT_FALSE(removed.load());
    FinishQueueCurrent();
    remover.join();
    m_Removed = true;
    EXPECT_TRUE(own.Done);
    EXPECT_EQ(own.Status, STATUS_SUCCESS);
    EXPECT_EQ(g_Device, nullptr);
}

TEST_F(RemoveWaitFixture, RemoveAfterSurpriseWaitsForTheLastHandle)
{
    ASSERT_NO_FATAL_FAILURE(BuildAndStart());
    kivrt::APP_HANDLE h = nullptr;
    ASSERT_EQ(Open(FILE_SHARE_READ, &h), STATUS_SUCCESS);
    ASSERT_EQ(kivrt::SurpriseRemoveDevice(m_Node), STATUS_SUCCESS);

    std::atomic<bool> removed{false};
    std::thread remover([&] {
        EXPECT_EQ(kivrt::SendPnp(m_Node, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        removed = true;
    });
    Settle();
    EXPECT_FALSE(removed.load());
    kivrt::AppClose(h);
    remover.join();
    m_Removed = true;
    EXPECT_EQ(g_Device, nullptr);
    // The close drops the last count before the I/O manager lets go of its
    // file object, so the remove may delete the device while that reference
    // is still held; the deletion then waits for it, and the runtime warns.
    for (const auto& record : kivrt::VerifierRecords()) {
        EXPECT_EQ(record.Level, kivrt::Severity::Warning);
        EXPECT_EQ(record.Check, "delete-with-open-files");
    }
    kivrt::ClearVerifierRecords();
}
