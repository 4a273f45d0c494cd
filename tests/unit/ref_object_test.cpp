#include "core/Pool.h"
#include "core/PoolTags.h"
#include "machine_fixture.h"
#include "support/LookasidePool.h"

namespace {

int g_Destroyed = 0;

class Counted : public CTraceable {
public:
    ~Counted() override { g_Destroyed++; }
    char payload[40];
};

// A second base before the shared root, so the root does not start the block.
class Mixed : public CTraceable {
public:
    virtual void Extra() {}
    ~Mixed() override { g_Destroyed++; }
};

template <typename T>
T* Make()
{
    void* block = PoolAlloc(NonPagedPool, sizeof(T), kTagDevice);
    return new (block) T();
}

}  // namespace

class RefObjectTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        g_Destroyed = 0;
    }
};

TEST_F(RefObjectTest, ReleaseOfTheLastReferenceDestroysAndFreesOnce)
{
    Counted* object = Make<Counted>();
    object->AddRef();
    object->AddRef();
    object->Release();
    EXPECT_EQ(g_Destroyed, 0);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagDevice), 1u);
    object->Release();
    EXPECT_EQ(g_Destroyed, 1);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagDevice), 0u);
}

TEST_F(RefObjectTest, OwnerDestroysAnObjectNeverReferenced)
{
    Counted* object = Make<Counted>();
    EXPECT_EQ(object->m_RefCount, 0);
    delete object;
    EXPECT_EQ(g_Destroyed, 1);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagDevice), 0u);
}

TEST_F(RefObjectTest, DeletingThroughTheRootFreesTheStartOfTheBlock)
{
    Mixed* object = Make<Mixed>();
    CRefObject* root = object;
    delete root;  // a wrong address would be a free of an unknown pointer
    EXPECT_EQ(g_Destroyed, 1);
    EXPECT_EQ(sim::OutstandingPoolCount(kTagDevice), 0u);
}

TEST_F(RefObjectTest, TraceLevelStartsAtTheDriverDefault)
{
    Counted local;
    EXPECT_EQ(local.m_TraceLevel, g_DefaultTraceLevel);
    EXPECT_EQ(local.m_RefCount, 0);
}
