// CIrpQueue and the kernel device queue operations of CDevice: StartIo
// order, cancellation of waiting and current IRPs, flushing one file object.
#include "TestStack.h"

#include <string>

using kivrt::APP_HANDLE;
using kivrt::Overlapped;

namespace {

class QueueFixture : public DeviceStackFixture {
protected:
    void SetUp() override
    {
        DeviceStackFixture::SetUp();
        ASSERT_NO_FATAL_FAILURE(BuildAndStart());
        ASSERT_EQ(Open(FILE_SHARE_READ, &m_F), STATUS_SUCCESS);
        ASSERT_EQ(Open(FILE_SHARE_READ, &m_G), STATUS_SUCCESS);
        g_Log.clear();
    }
    void TearDown() override
    {
        if (m_F) kivrt::AppClose(m_F);
        if (m_G) kivrt::AppClose(m_G);
        DeviceStackFixture::TearDown();
    }
    PFILE_OBJECT FileOfCurrent(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->FileObject; }

    APP_HANDLE m_F = nullptr;
    APP_HANDLE m_G = nullptr;
};

} // namespace

TEST_F(QueueFixture, CancellingWaitingAndCurrentIrps)
{
    Overlapped a, b;
    EXPECT_EQ(Send(m_F, IOCTL_TEST_QUEUE, 1, &a), STATUS_PENDING);
    EXPECT_EQ(Send(m_G, IOCTL_TEST_QUEUE, 2, &b), STATUS_PENDING);
    PIRP current = g_Device->Queue().GetCurrentIrp();
    ASSERT_NE(current, nullptr);
    EXPECT_FALSE(g_Device->Queue().RemoveIrpFromQueue(current)); // current is not linked
    kivrt::AppCancelIo(m_G);
    ASSERT_TRUE(b.Wait(1000));
    EXPECT_EQ(b.Status(), STATUS_CANCELLED);
    EXPECT_EQ(b.Information(), 0u);
    kivrt::AppCancelIo(m_F);
    ASSERT_TRUE(a.Wait(1000));
    EXPECT_EQ(a.Status(), STATUS_CANCELLED);
    EXPECT_EQ(Joined(g_Log), "dispatch 1\nstart 1\ndispatch 2\n"
                             "cancel 2\ncomplete 2 0xC0000120\ncancel 1\ncomplete 1 0xC0000120\n");
    EXPECT_EQ(g_Device->Queue().GetCurrentIrp(), nullptr);
    EXPECT_EQ(Probe().IrpCount, 3);
}

TEST_F(QueueFixture, FlushingOneFileKeepsTheOthersInOrder)
{
    Overlapped ov[5]; // by id: 1 and 3 on F, 2 and 4 on G
    for (ULONG id = 1; id <= 4; id++)
        EXPECT_EQ(Send(id % 2 ? m_F : m_G, IOCTL_TEST_QUEUE, id, &ov[id]), STATUS_PENDING);
    PFILE_OBJECT f = FileOfCurrent(g_Device->Queue().GetCurrentIrp());
    g_Log.clear();
    g_Device->Queue().FlushQueue(f);
    EXPECT_EQ(Joined(g_Log), "cancel 1\nstart 2\ncomplete 1 0xC0000120\n"
                             "cancel 3\ncomplete 3 0xC0000120\n");
    EXPECT_EQ(ov[1].Status(), STATUS_CANCELLED);
    EXPECT_EQ(ov[3].Status(), STATUS_CANCELLED);
    g_Log.clear();
    FinishQueueCurrent();
    FinishQueueCurrent();
    // The next IRP starts before the finished one completes.
    EXPECT_EQ(Joined(g_Log), "start 4\ncomplete 2 0x00000000\ncomplete 4 0x00000000\n");
    EXPECT_TRUE(ov[2].IsComplete() && ov[4].IsComplete());
    EXPECT_EQ(ov[4].Status(), STATUS_SUCCESS);

    // Nothing is left: flushing an idle queue changes nothing.
    g_Log.clear();
    g_Device->Queue().FlushQueue(NULL);
    g_Device->Queue().StartNextPacket();
    EXPECT_TRUE(g_Log.empty());
    EXPECT_EQ(Probe().IrpCount, 3);
}

TEST_F(QueueFixture, KernelDeviceQueueFlushAndCheckIrpCanceled)
{
    EXPECT_TRUE(g_Device->Device()->CheckIrpCanceled(NULL));
    Overlapped ov[5]; // by id: 1 and 3 on F, 2 and 4 on G
    for (ULONG id = 1; id <= 4; id++)
        EXPECT_EQ(Send(id % 2 ? m_F : m_G, IOCTL_TEST_KQUEUE, id, &ov[id]), STATUS_PENDING);
    PFILE_OBJECT f = FileOfCurrent(g_Device->Device()->GetDeviceObject()->CurrentIrp);
    g_Log.clear();
    g_Device->Device()->FlushQueue(f);
    EXPECT_EQ(Joined(g_Log), "kcancel 1\nkstart 2\ncomplete 1 0xC0000120\n"
                             "kcancel 3\ncomplete 3 0xC0000120\n");
    g_Log.clear();
    FinishKernelCurrent();
    FinishKernelCurrent();
    EXPECT_EQ(Joined(g_Log), "kstart 4\ncomplete 2 0x00000000\ncomplete 4 0x00000000\n");
    EXPECT_EQ(Probe().IrpCount, 3);
}

TEST_F(QueueFixture, CleanupCompletesQueuedIrpsWithoutCancelRoutine)
{
    Overlapped g1, f2, f3;
    EXPECT_EQ(Send(m_G, IOCTL_TEST_KQUEUE_NOCANCEL, 1, &g1), STATUS_PENDING);
    EXPECT_EQ(Send(m_F, IOCTL_TEST_KQUEUE_NOCANCEL, 2, &f2), STATUS_PENDING);
    EXPECT_EQ(Send(m_F, IOCTL_TEST_KQUEUE_NOCANCEL, 3, &f3), STATUS_PENDING);
    g_Log.clear();
    kivrt::AppClose(m_F); // cleanup flushes the queue for this file
    m_F = nullptr;
    EXPECT_EQ(Joined(g_Log), "complete 2 0xC0000120\ncomplete 3 0xC0000120\n");
    EXPECT_EQ(f2.Status(), STATUS_CANCELLED);
    EXPECT_EQ(f2.Information(), 0u);
    EXPECT_FALSE(g1.IsComplete());
    g_Log.clear();
    FinishKernelCurrent();
    EXPECT_EQ(Joined(g_Log), "complete 1 0x00000000\n");
    EXPECT_EQ(Probe().IrpCount, 2);
}

TEST_F(QueueFixture, FlushMarksACurrentIrpWithoutCancelRoutine)
{
    Overlapped g1;
    EXPECT_EQ(Send(m_G, IOCTL_TEST_KQUEUE_NOCANCEL, 1, &g1), STATUS_PENDING);
    g_Device->Device()->FlushQueue(NULL);
    EXPECT_FALSE(g1.IsComplete()); // only marked: its owner completes it
    g_Log.clear();
    FinishKernelCurrent();
    EXPECT_EQ(Joined(g_Log), "complete 1 0xC0000120\n");
}
