/* The object namespace and symbolic links. */
#include "io_test_driver.h"

using namespace iotest;

namespace {

const OBP_OBJECT_TYPE kThingType = {"Thing", NULL};

class Namespace : public IoTest {
 protected:
  PVOID NewThing() { return ObpCreateObject(&kThingType, 16); }
  NTSTATUS Lookup(const char *path, PVOID *object) {
    Name n(path);
    return ObpLookupName(&n.String, object);
  }
  NTSTATUS Insert(const char *path, PVOID object) {
    Name n(path);
    return ObpInsertName(&n.String, object);
  }
  NTSTATUS Link(const char *link, const char *target) {
    Name l(link), t(target);
    return IoCreateSymbolicLink(&l.String, &t.String);
  }
  NTSTATUS Unlink(const char *link) {
    Name l(link);
    return IoDeleteSymbolicLink(&l.String);
  }
  /* Looks path up and says whether it is object (dropping the reference). */
  bool Names(const char *path, PVOID object) {
    PVOID found = NULL;
    if (!NT_SUCCESS(Lookup(path, &found))) return false;
    ObDereferenceObject(found);
    return found == object;
  }
};

TEST_F(Namespace, DosDevicesAndQuestionMarksAreOneDirectory) {
  PVOID thing = NewThing();
  ASSERT_EQ(Insert("\\Device\\Thing0", thing), STATUS_SUCCESS);
  ASSERT_EQ(Link("\\DosDevices\\COM5", "\\Device\\Thing0"), STATUS_SUCCESS);
  EXPECT_TRUE(Names("\\??\\COM5", thing));
  EXPECT_TRUE(Names("\\DosDevices\\COM5", thing));
  EXPECT_TRUE(Names("\\GLOBAL??\\com5", thing)); /* names compare without case */
  /* Taken under either spelling. */
  EXPECT_EQ(Link("\\??\\COM5", "\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(Link("\\DosDevices\\com5", "\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
  /* Made under one, deleted under the other. */
  EXPECT_EQ(Unlink("\\??\\COM5"), STATUS_SUCCESS);
  EXPECT_EQ(Unlink("\\DosDevices\\COM5"), STATUS_OBJECT_NAME_NOT_FOUND);
  PVOID found = NULL;
  EXPECT_EQ(Lookup("\\??\\COM5", &found), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(found, nullptr);
  Name n("\\Device\\Thing0");
  EXPECT_EQ(ObpRemoveName(&n.String), STATUS_SUCCESS);
  ObDereferenceObject(thing);
}

TEST_F(Namespace, LinksToLinksAreFollowedAndResolvedWhenUsed) {
  PVOID thing = NewThing();
  /* A link may be made before its target exists. */
  ASSERT_EQ(Link("\\??\\Outer", "\\??\\Inner"), STATUS_SUCCESS);
  ASSERT_EQ(Link("\\??\\Inner", "\\Device\\Late"), STATUS_SUCCESS);
  PVOID found = NULL;
  EXPECT_EQ(Lookup("\\??\\Outer", &found), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Insert("\\Device\\Late", thing), STATUS_SUCCESS);
  EXPECT_TRUE(Names("\\??\\Outer", thing));
  /* A link in the middle of a path is followed as a directory. */
  ASSERT_EQ(Link("\\Alias", "\\Device"), STATUS_SUCCESS);
  EXPECT_TRUE(Names("\\Alias\\Late", thing));
  /* The target a link names. */
  std::u16string target;
  Name outer("\\DosDevices\\Outer");
  EXPECT_EQ(IopQuerySymbolicLink(&outer.String, &target), STATUS_SUCCESS);
  EXPECT_TRUE(target == U("\\??\\Inner"));
  ObDereferenceObject(thing);
}

TEST_F(Namespace, ACycleOfLinksIsNotFound) {
  ASSERT_EQ(Link("\\??\\A", "\\??\\B"), STATUS_SUCCESS);
  ASSERT_EQ(Link("\\??\\B", "\\??\\A"), STATUS_SUCCESS);
  PVOID found = NULL;
  EXPECT_EQ(Lookup("\\??\\A", &found), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Namespace, ANameHoldsAReference) {
  PVOID thing = NewThing();
  ASSERT_EQ(Insert("\\Device\\Held", thing), STATUS_SUCCESS);
  EXPECT_EQ(ObpReferenceCount(thing), 2);
  ObDereferenceObject(thing); /* the creator lets go; the name keeps it */
  EXPECT_EQ(ObpTypeOf(thing), &kThingType);
  EXPECT_TRUE(Names("\\Device\\Held", thing));
  PVOID other = NewThing();
  EXPECT_EQ(Insert("\\Device\\HELD", other), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(ObpReferenceCount(other), 1); /* a refused name takes no reference */
  ObDereferenceObject(other);
  Name n("\\Device\\Held");
  EXPECT_EQ(ObpRemoveName(&n.String), STATUS_SUCCESS);
  EXPECT_EQ(ObpTypeOf(thing), nullptr); /* gone with its name */
  EXPECT_EQ(ObpRemoveName(&n.String), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Namespace, BadPathsAreRefused) {
  struct Case {
    const char *Path;
    NTSTATUS Lookup;
  } cases[] = {
      {"Device\\X", STATUS_OBJECT_PATH_SYNTAX_BAD},  /* not absolute */
      {"", STATUS_OBJECT_PATH_SYNTAX_BAD},
      {"\\Device\\\\X", STATUS_OBJECT_NAME_INVALID}, /* empty component */
      {"\\Device\\X\\", STATUS_OBJECT_NAME_INVALID},
      {"\\NoSuchDirectory\\X", STATUS_OBJECT_PATH_NOT_FOUND},
      {"\\Device\\NoSuchName", STATUS_OBJECT_NAME_NOT_FOUND},
      {"\\Device", STATUS_OBJECT_TYPE_MISMATCH},     /* a directory is no object */
  };
  for (const Case &c : cases) {
    PVOID found = (PVOID)1;
    EXPECT_EQ(Lookup(c.Path, &found), c.Lookup) << c.Path;
    EXPECT_EQ(found, nullptr) << c.Path;
  }
}

TEST_F(Namespace, SymbolicLinkCallsCheckTheirArguments) {
  PVOID thing = NewThing();
  ASSERT_EQ(Insert("\\Device\\NotALink", thing), STATUS_SUCCESS);
  EXPECT_EQ(Unlink("\\Device\\NotALink"), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_TRUE(Names("\\Device\\NotALink", thing)); /* still there */
  EXPECT_EQ(IoCreateSymbolicLink(NULL, NULL), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Unlink("\\??\\Never"), STATUS_OBJECT_NAME_NOT_FOUND);
  ObDereferenceObject(thing);
}

TEST_F(Namespace, ListsADirectory) {
  ASSERT_EQ(Link("\\??\\COM7", "\\Device\\X"), STATUS_SUCCESS);
  ASSERT_EQ(Link("\\??\\COM3", "\\Device\\Y"), STATUS_SUCCESS);
  Name dos("\\DosDevices");
  std::vector<std::u16string> names = IopListDirectory(&dos.String);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(names[0] == U("COM3"));
  EXPECT_TRUE(names[1] == U("COM7"));
}

}  // namespace
