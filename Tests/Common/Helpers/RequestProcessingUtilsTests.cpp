#include "Helpers/RequestProcessingUtils.h"

#include <gtest/gtest.h>

using RequestProcessing::NormalizePagingPosition;

TEST(NormalizePagingPosition, DefaultsWhenNothingIsGiven) {
    const EkNodePtr request = EkNodePtr::CreateNode(L"GetDataRequest", nullptr);
    NormalizePagingPosition(request);
    const EkNodePtr mark = request.GetChildByName(L"ContinuationMark");
    EXPECT_FALSE(mark.GetGuid(L"SessionId") == GUID_NULL);
    EXPECT_EQ(mark.GetInt64(L"Position"), 0);
    EXPECT_EQ(mark.GetInt64(L"Count"), 1000);
    uint16_t type = 0;
    ASSERT_TRUE(mark.HasAttribute(L"Position", &type));
    EXPECT_EQ(type, EKN_TYPE_INT64);
}

TEST(NormalizePagingPosition, FlatAttributesBecomeTheChild) {
    const EkNodePtr request = EkNodePtr::CreateNode(L"GetDataRequest", nullptr);
    const GUID id = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    request.SetAttribute(L"SessionId", id);
    request.SetAttribute(L"ContinuationMark", int32_t{40});
    request.SetAttribute(L"EventsCount", int32_t{20});
    NormalizePagingPosition(request);
    const EkNodePtr mark = request.GetChildByName(L"ContinuationMark");
    EXPECT_TRUE(mark.GetGuid(L"SessionId") == id);
    EXPECT_EQ(mark.GetInt64(L"Position"), 40);
    EXPECT_EQ(mark.GetInt64(L"Count"), 20);
}

TEST(NormalizePagingPosition, ChildFillsMissingFlatAttributesOnly) {
    const EkNodePtr response = EkNodePtr::CreateNode(L"EventViewerResponse", nullptr);
    const EkNodePtr mark = EkNodePtr::CreateNode(L"ContinuationMark", nullptr);
    const GUID id = {9, 9, 9, {9, 9, 9, 9, 9, 9, 9, 9}};
    mark.SetAttribute(L"SessionId", id);
    mark.SetAttribute(L"Position", int64_t{60});
    mark.SetAttribute(L"Count", int64_t{30});
    response.AddChild(mark);
    const EkNodePtr events = EkNodePtr::CreateNode(L"Events", nullptr);
    response.AddChild(events);
    response.SetAttribute(L"EventsCount", int32_t{5}); // never overwritten

    NormalizePagingPosition(response);
    EXPECT_TRUE(response.GetGuid(L"SessionId") == id);
    EXPECT_EQ(response.GetInt64(L"ContinuationMark"), 60);
    EXPECT_EQ(response.GetInt64(L"EventsCount"), 5);
    EXPECT_EQ(events.GetInt64(L"ContinuationMark"), 60);
    EXPECT_EQ(response.GetChildCount(), 2u) << "no second mark";
}
