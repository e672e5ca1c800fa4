/* Object headers, references and the kernel handle table. */
#include <gtest/gtest.h>
#include <nt/system.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ki.h"

namespace {

std::atomic<int> g_Deleted{0};
PVOID g_LastDeleted = nullptr;

void CountDelete(PVOID Object) {
  g_LastDeleted = Object;
  g_Deleted++;
}

const OBP_OBJECT_TYPE kWidgetType = {"Widget", CountDelete};
const OBP_OBJECT_TYPE kGadgetType = {"Gadget", NULL};

struct Widget {
  ULONG Words[16];
};

class Objects : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
    g_Deleted = 0;
    g_LastDeleted = nullptr;
  }
  void TearDown() override { nt::Shutdown(); }
  static POBJECT_TYPE Type(const OBP_OBJECT_TYPE &T) { return (POBJECT_TYPE)&T; }
};

TEST_F(Objects, BodyIsZeroedAndTheLastReferenceDeletesIt) {
  auto *w = (Widget *)ObpCreateObject(&kWidgetType, sizeof(Widget));
  ASSERT_NE(w, nullptr);
  for (ULONG word : w->Words) EXPECT_EQ(word, 0u);
  EXPECT_EQ((ULONG_PTR)w % 16, 0u);
  EXPECT_EQ(ObpTypeOf(w), &kWidgetType);
  EXPECT_EQ(ObpReferenceCount(w), 1);
  EXPECT_EQ(ObReferenceObject(w), 2);
  EXPECT_EQ(ObDereferenceObject(w), 1);
  EXPECT_EQ(g_Deleted.load(), 0);
  EXPECT_EQ(ObDereferenceObject(w), 0);
  EXPECT_EQ(g_Deleted.load(), 1);
  EXPECT_EQ(g_LastDeleted, (PVOID)w);
  EXPECT_EQ(ObpTypeOf(w), nullptr);
}

TEST_F(Objects, NonObjectsHaveNoType) {
  int local = 0;
  EXPECT_EQ(ObpTypeOf(&local), nullptr);
  EXPECT_EQ(ObpReferenceCount(&local), 0);
}

TEST_F(Objects, HandlesHoldAReferenceAndCheckTheType) {
  auto *w = (Widget *)ObpCreateObject(&kWidgetType, sizeof(Widget));
  HANDLE h;
  ASSERT_EQ(ObpCreateHandle(w, &h), STATUS_SUCCESS);
  EXPECT_EQ(ObpReferenceCount(w), 2);
  ObDereferenceObject(w); /* the handle keeps it alive */
  EXPECT_EQ(g_Deleted.load(), 0);

  struct {
    POBJECT_TYPE Type;
    NTSTATUS Expected;
  } cases[] = {
      {Type(kWidgetType), STATUS_SUCCESS},
      {NULL, STATUS_SUCCESS},
      {Type(kGadgetType), STATUS_OBJECT_TYPE_MISMATCH},
      {*PsThreadType, STATUS_OBJECT_TYPE_MISMATCH},
  };
  for (auto &c : cases) {
    PVOID object = (PVOID)0x1;
    OBJECT_HANDLE_INFORMATION info{};
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, c.Type, KernelMode, &object, &info), c.Expected);
    if (NT_SUCCESS(c.Expected)) {
      EXPECT_EQ(object, (PVOID)w);
      EXPECT_EQ(ObpReferenceCount(w), 2);
      ObDereferenceObject(object);
    } else {
      EXPECT_EQ(object, nullptr);
      EXPECT_EQ(ObpReferenceCount(w), 1);
    }
  }

  EXPECT_EQ(ObReferenceObjectByPointer(w, 0, Type(kGadgetType), KernelMode), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(ObReferenceObjectByPointer(w, 0, Type(kWidgetType), KernelMode), STATUS_SUCCESS);
  ObDereferenceObject(w);

  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(g_Deleted.load(), 1);
  EXPECT_EQ(NtClose(h), STATUS_INVALID_HANDLE);
  PVOID object;
  EXPECT_EQ(ObReferenceObjectByHandle(h, 0, NULL, KernelMode, &object, NULL), STATUS_INVALID_HANDLE);
}

TEST_F(Objects, InvalidHandlesAreRefused) {
  PVOID object;
  for (HANDLE h : {(HANDLE)NULL, (HANDLE)4, (HANDLE)(ULONG_PTR)0xFFFFFFFF80001234ULL}) {
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, NULL, KernelMode, &object, NULL), STATUS_INVALID_HANDLE);
  }
}

TEST_F(Objects, HandlesLeftOpenAreClosedAtShutdown) {
  auto *w = ObpCreateObject(&kWidgetType, sizeof(Widget));
  HANDLE h;
  ASSERT_EQ(ObpCreateHandle(w, &h), STATUS_SUCCESS);
  ObDereferenceObject(w);
  nt::Shutdown();
  EXPECT_EQ(g_Deleted.load(), 1);
  ASSERT_EQ(nt::Boot(), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
}

TEST_F(Objects, ConcurrentReferencesBalance) {
  auto *w = ObpCreateObject(&kWidgetType, sizeof(Widget));
  HANDLE h;
  ASSERT_EQ(ObpCreateHandle(w, &h), STATUS_SUCCESS);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        PVOID o;
        ASSERT_EQ(ObReferenceObjectByHandle(h, 0, NULL, KernelMode, &o, NULL), STATUS_SUCCESS);
        ObReferenceObject(o);
        ObDereferenceObject(o);
        ObDereferenceObject(o);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(ObpReferenceCount(w), 2);
  ZwClose(h);
  EXPECT_EQ(ObDereferenceObject(w), 0);
  EXPECT_EQ(g_Deleted.load(), 1);
}

/* ---- verifier ---- */

class ObjectsDeath : public Objects {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Objects::SetUp();
  }
};

void BadDriverDereferencesTwice() {
  PVOID w = ObpCreateObject(&kGadgetType, 8);
  ObDereferenceObject(w);
  ObDereferenceObject(w);
}

void BadDriverDereferencesAStackVariable() {
  KEVENT event;
  ObDereferenceObject(&event);
}

void BadDriverReferencesADeletedObject() {
  PVOID w = ObpCreateObject(&kGadgetType, 8);
  ObDereferenceObject(w);
  ObReferenceObject(w);
}

TEST_F(ObjectsDeath, ReferencesToWhatIsNoObject) {
  EXPECT_DEATH(BadDriverDereferencesTwice(), "ObDereferenceObject: .* is an object that was already deleted");
  EXPECT_DEATH(BadDriverDereferencesAStackVariable(), "ObDereferenceObject: .* is not an object");
  EXPECT_DEATH(BadDriverReferencesADeletedObject(), "ObReferenceObject: .* already deleted");
}

}  // namespace
