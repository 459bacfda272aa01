#include "front/body_reading.h"

#include <gtest/gtest.h>

#include <string>

namespace tidemark {
namespace {

HttpRequest report() {
  HttpRequest request;
  request.method = "POST";
  request.path = "/rep/post.php";
  return request;
}

TEST(BodyReader, LongBodiesShareTheirMemory_AndGiveItBackWhenDone) {
  HttpLimits limits;
  limits.maxBodyBytes = 10;
  limits.maxReportBodyBytes = 100;
  limits.maxLargeBodyBytes = 90;  // one long body at a time
  LargeBodyBudget budget(limits);
  const std::string piece(60, 'x');
  HttpRequest first = report(), second = report(), third = report();
  {
    BodyReader holding(limits, budget);
    holding.append(first, piece.data(), piece.size());
    EXPECT_FALSE(holding.refusal());
    BodyReader refused(limits, budget);
    refused.append(second, piece.data(), piece.size());
    ASSERT_TRUE(refused.refusal());
    EXPECT_EQ(refused.refusal()->status, 503);
    EXPECT_TRUE(second.body.empty());
  }
  // Both done: the share is back, and a body past the cap is refused as such.
  BodyReader next(limits, budget);
  next.append(third, piece.data(), piece.size());
  EXPECT_FALSE(next.refusal());
  next.append(third, piece.data(), piece.size());
  ASSERT_TRUE(next.refusal());
  EXPECT_EQ(next.refusal()->status, 400);
  EXPECT_TRUE(third.body.empty());
}

}  // namespace
}  // namespace tidemark
