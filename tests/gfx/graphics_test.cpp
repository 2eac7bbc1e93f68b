// The attribute query of the "graphics" library (the harness opens it): dispatch to the reader a
// library registered for its type, the answers for types whose library
// registered none, and the object-type and attribute constants.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "gfx/gfx.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

int32_t lastAttribute = -1;
// Answers with the attribute plus the identifier and the parameter it sees.
int fakeReader(VmState* L, int32_t attribute) {
  lastAttribute = attribute;
  VmPushNumber(L, attribute + 1000 * VmCheckInteger(L, 2) + VmOptInteger(L, 4, 0));
  return 1;
}

class GraphicsLibrary : public ::testing::Test {
 protected:
  ErrorCode query(int32_t type, int32_t id, int32_t attribute, double* result) {
    VmSetTop(h.L, 0);
    VmPushNumber(h.L, type);
    VmPushNumber(h.L, id);
    VmPushNumber(h.L, attribute);
    ErrorCode err = h.Call("GetAttribute", 3);
    if (err == ERR_NONE) *result = VmToNumber(h.L, -1);
    return err;
  }

  PlayerHarness h;
};

TEST_F(GraphicsLibrary, AttributeQueryGoesToTheReaderOfItsType) {
  ASSERT_EQ(RegisterAttributeReader(OBJTYPE_MEMORY, fakeReader), ERR_NONE);
  VmPushNumber(h.L, OBJTYPE_MEMORY);
  VmPushNumber(h.L, 7);
  VmPushNumber(h.L, ATTRSIZE);
  VmPushNumber(h.L, 3);
  ASSERT_EQ(h.Call("GetAttribute", 4), ERR_NONE);
  EXPECT_EQ(VmToNumber(h.L, -1), ATTRSIZE + 7000 + 3);
  double count = -1;
  ASSERT_EQ(query(OBJTYPE_MEMORY, 0, ATTRCOUNT, &count), ERR_NONE);
  EXPECT_EQ(lastAttribute, ATTRCOUNT);  // the reader counts its own objects
}

TEST_F(GraphicsLibrary, TypesWithoutReaderHaveNoObjects) {
  struct Case {
    int32_t type;
    int32_t attribute;
    ErrorCode err;
  };
  const Case cases[] = {
      {OBJTYPE_BRUSH, ATTRCOUNT, ERR_NONE},
      {OBJTYPE_BRUSH, ATTRWIDTH, ERR_FINDBRUSH},
      {OBJTYPE_SERIAL, ATTRCOUNT, ERR_NONE},
      {OBJTYPE_SERIAL, ATTRADAPTER, ERR_FINDSERIAL},
      {OBJTYPE_EVENTHANDLER, ATTRCOUNT, ERR_NONE},
      {OBJTYPE_EVENTHANDLER, ATTRWIDTH, ERR_UNKNOWNATTR},
      {7, ATTRCOUNT, ERR_WRONGUSAGE},  // no object type has number 7
      {-1, ATTRCOUNT, ERR_WRONGUSAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.attribute);
    double result = -1;
    EXPECT_EQ(query(c.type, 1, c.attribute, &result), c.err);
    if (c.err == ERR_NONE) {
      EXPECT_EQ(result, 0);
    }
  }
}

TEST_F(GraphicsLibrary, ObjectTypeAndAttributeConstants) {
  struct Case {
    const char* name;
    double value;
  };
  const Case cases[] = {{"BGPIC", 1},         {"TEXTOBJECT", 8},      {"SERIAL", 60},
                        {"ATTRWIDTH", 0},     {"ATTRCOUNT", 8},       {"ATTRADAPTER", 63},
                        {"ATTRUSERDATA", 97}, {"ATTRNUMENTRIES", 98}, {"ATTRSTANDARD", 99}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* text = nullptr;
    double number = -1;
    ASSERT_EQ(VmFindConstant(h.L, c.name, &text, &number), 1);
    EXPECT_EQ(number, c.value);
  }
}

}  // namespace
