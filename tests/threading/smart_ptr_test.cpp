#include "base/smart_ptr.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Counted {
  explicit Counted(int* deaths_) : deaths(deaths_) {}
  virtual ~Counted() { ++*deaths; }
  int* deaths;
};

struct Derived : Counted {
  using Counted::Counted;
};

TEST(SmartPtr, LastReleaseDeletesOnceAndAssignmentReleasesTheOld) {
  int deaths = 0;
  {
    TSmartPtr<Counted> a(new Derived(&deaths));
    {
      TSmartPtr<Counted> b(a);
      TSmartPtr<Counted> c;
      c = b;
      EXPECT_EQ(c.Get(), a.Get());
    }
    EXPECT_EQ(deaths, 0) << "copies released while the first still holds it";
    a = a;  // self-assignment keeps the object
    a = a.Get();
    EXPECT_EQ(deaths, 0);
    a = new Counted(&deaths);
    EXPECT_EQ(deaths, 1) << "assigning a new object releases the old";
  }
  EXPECT_EQ(deaths, 2);
}

TEST(SmartPtr, ManyCopiesShareOneCount) {
  int deaths = 0;
  std::vector<TSmartPtr<Counted>> copies;
  {
    TSmartPtr<Counted> first(new Counted(&deaths));
    copies.assign(100, first);
  }
  for (const auto& copy : copies) ASSERT_EQ(copy.Get(), copies.front().Get());
  copies.resize(1);
  EXPECT_EQ(deaths, 0);
  copies.clear();
  EXPECT_EQ(deaths, 1);
}

}  // namespace
