#include "framework/data/data_node.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace Application {
namespace {

using Sizes = std::vector<uint32_t>;

struct LayoutCase {
    const char* name;
    Sizes sizes;
    bool accepted;
    uint32_t record_size;
    std::vector<uint32_t> offsets;
};

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, RecordSizeAndOffsets) {
    const LayoutCase& c = GetParam();
    CDataObject object(1);
    object.SetLayout(c.sizes);
    ASSERT_EQ(object.HasLayout(), c.accepted);
    if (!c.accepted) {
        EXPECT_EQ(object.RecordSize(), 0u);
        return;
    }
    EXPECT_EQ(object.RecordSize(), c.record_size);
    ASSERT_EQ(object.FieldCount(), c.offsets.size());
    for (uint32_t i = 0; i < c.offsets.size(); ++i) EXPECT_EQ(object.FieldOffset(i), c.offsets[i]) << i;
    std::vector<char> record(object.RecordSize(), 'x');
    object.StoreRecord(record.data());
    EXPECT_EQ(std::vector<char>(record.size(), 0), record) << "a new record is all zero";
}

INSTANTIATE_TEST_SUITE_P(Layouts, LayoutTest,
                         ::testing::Values(LayoutCase{"Mixed", {4, 8, 32, 1}, true, 53, {8, 12, 20, 52}},
                                           LayoutCase{"OneByte", {1}, true, 9, {8}},
                                           LayoutCase{"NoFields", {}, true, 8, {}},
                                           LayoutCase{"ZeroSizedField", {4, 0, 4}, false, 0, {}},
                                           LayoutCase{"Overflowing", {0x7fffffff, 0x7fffffff, 8}, false, 0, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DataObjectTest, FirstLayoutWins) {
    CDataObject object(1);
    object.SetLayout({4, 8});
    object.SetLayout({16});
    EXPECT_EQ(object.RecordSize(), 20u);
    object.SetInt64(1, 7);
    EXPECT_EQ(object.GetInt64(1, 0), 7);
}

// One setter applied to one field; whether it stored, and what a matching
// getter then reads.
struct SetterCase {
    const char* name;
    Sizes sizes;
    uint32_t index;
    std::function<void(CDataObject&)> set;
    bool stores;
    std::function<bool(CDataObject&)> reads_back;
};

class SetterTest : public ::testing::TestWithParam<SetterCase> {};

TEST_P(SetterTest, StoresOnlyIntoMatchingFields) {
    const SetterCase& c = GetParam();
    CDataObject object(1);
    object.SetLayout(c.sizes);
    std::vector<char> before(object.RecordSize());
    object.StoreRecord(before.data());
    c.set(object);
    EXPECT_EQ(object.IsDirty(), c.stores);
    std::vector<char> after(object.RecordSize());
    object.StoreRecord(after.data());
    if (!c.stores) {
        EXPECT_EQ(before, after) << "a refused setter changes no byte";
        return;
    }
    uint64_t mask;
    std::memcpy(&mask, after.data(), 8);
    if (c.index < 64) {
        EXPECT_EQ(mask, uint64_t{1} << c.index);
    }
    EXPECT_TRUE(c.reads_back(object));
}

const SetterCase kSetterCases[] = {
    {"IntOn4", {4, 8}, 0, [](CDataObject& o) { o.SetInt(0, -5); }, true,
     [](CDataObject& o) { return o.GetInt(0, 0) == -5; }},
    {"IntOn8IsRefused", {4, 8}, 1, [](CDataObject& o) { o.SetInt(1, 5); }, false, nullptr},
    {"Int64On8", {4, 8}, 1, [](CDataObject& o) { o.SetInt64(1, -(int64_t{1} << 40)); }, true,
     [](CDataObject& o) { return o.GetInt64(1, 0) == -(int64_t{1} << 40); }},
    {"Int64On4IsRefused", {4, 8}, 0, [](CDataObject& o) { o.SetInt64(0, 5); }, false, nullptr},
    {"UIntOn4", {4}, 0, [](CDataObject& o) { o.SetUInt(0, 0xfffffffeu); }, true,
     [](CDataObject& o) { return o.GetUInt(0, 0) == 0xfffffffeu; }},
    {"UInt64On8", {8}, 0, [](CDataObject& o) { o.SetUInt64(0, ~uint64_t{0}); }, true,
     [](CDataObject& o) { return o.GetUInt64(0, 0) == ~uint64_t{0}; }},
    {"LongOn4", {4}, 0, [](CDataObject& o) { o.SetLong(0, -7); }, true,
     [](CDataObject& o) { return o.GetLong(0, 0) == -7; }},
    {"ULongOn4", {4}, 0, [](CDataObject& o) { o.SetULong(0, 7); }, true,
     [](CDataObject& o) { return o.GetULong(0, 0) == 7; }},
    {"FloatOn4", {4}, 0, [](CDataObject& o) { o.SetFloat(0, 1.5f); }, true,
     [](CDataObject& o) { return o.GetFloat(0, 0) == 1.5f; }},
    {"FloatOn8IsRefused", {8}, 0, [](CDataObject& o) { o.SetFloat(0, 1.5f); }, false, nullptr},
    {"DoubleOn8", {8}, 0, [](CDataObject& o) { o.SetDouble(0, 2.25); }, true,
     [](CDataObject& o) { return o.GetDouble(0, 0) == 2.25; }},
    {"DoubleOn4IsRefused", {4}, 0, [](CDataObject& o) { o.SetDouble(0, 2.25); }, false, nullptr},
    {"BoolOn1", {4, 1}, 1, [](CDataObject& o) { o.SetBool(1, true); }, true,
     [](CDataObject& o) { return o.GetBool(1, false); }},
    {"BoolOn4IsRefused", {4}, 0, [](CDataObject& o) { o.SetBool(0, true); }, false, nullptr},
    {"IndexPastLastField", {4}, 1, [](CDataObject& o) { o.SetInt(1, 1); }, false, nullptr},
    {"NoLayout", {}, 0, [](CDataObject& o) { o.SetInt(0, 1); }, false, nullptr},
    {"StringTruncated", {4}, 0, [](CDataObject& o) { o.SetString(0, "abcdef"); }, true,
     [](CDataObject& o) { return std::string(o.GetString(0, "")) == "abc"; }},
    {"StringExactFit", {7}, 0, [](CDataObject& o) { o.SetString(0, "abcdef"); }, true,
     [](CDataObject& o) { return std::string(o.GetString(0, "")) == "abcdef"; }},
    {"StringNullIsEmpty", {4}, 0, [](CDataObject& o) { o.SetString(0, nullptr); }, true,
     [](CDataObject& o) { return std::string(o.GetString(0, "def")).empty(); }},
    {"StringIntoOneByte", {1}, 0, [](CDataObject& o) { o.SetString(0, "abc"); }, true,
     [](CDataObject& o) { return std::string(o.GetString(0, "def")).empty(); }},
};

INSTANTIATE_TEST_SUITE_P(Setters, SetterTest, ::testing::ValuesIn(kSetterCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DataObjectTest, FieldSixtyFourIsWrittenButNeverSet) {
    Sizes sizes(66, 4);
    CDataObject object(1);
    object.SetLayout(sizes);
    object.SetInt(64, 9);
    EXPECT_TRUE(object.IsDirty());
    EXPECT_EQ(object.GetInt(64, -1), -1);
    object.SetInt(63, 9);
    EXPECT_EQ(object.GetInt(63, -1), 9);
    std::vector<char> record(object.RecordSize());
    object.StoreRecord(record.data());
    int32_t raw;
    std::memcpy(&raw, record.data() + object.FieldOffset(64), 4);
    EXPECT_EQ(raw, 9) << "the bytes are written";
}

struct GetterEdgeCase {
    const char* name;
    Sizes sizes;
    uint32_t index;
    int64_t expected;  // from GetInt64 with default -1
};

class WideGetterTest : public ::testing::TestWithParam<GetterEdgeCase> {};

// GetInt64 reads 8 bytes from the field's start: into the next field when
// there is one, the default when the read would pass the record's end.
TEST_P(WideGetterTest, ReadsNoFurtherThanTheRecord) {
    const GetterEdgeCase& c = GetParam();
    CDataObject object(1);
    object.SetLayout(c.sizes);
    for (uint32_t i = 0; i < c.sizes.size(); ++i) {
        if (c.sizes[i] == 4) object.SetInt(i, static_cast<int32_t>(i + 1));
        if (c.sizes[i] == 1) object.SetBool(i, true);
    }
    EXPECT_EQ(object.GetInt64(c.index, -1), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, WideGetterTest,
    ::testing::Values(GetterEdgeCase{"IntoNextField", {4, 4}, 0, (int64_t{2} << 32) | 1},
                      GetterEdgeCase{"LastFourByteField", {4, 4}, 1, -1},
                      GetterEdgeCase{"LastOneByteField", {8, 1}, 1, -1},
                      GetterEdgeCase{"OneByteWithFourAfter", {1, 4, 4}, 0, 0x0000030000000201}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DataObjectTest, WideGetterEndingExactlyAtRecordEndReads) {
    CDataObject object(1);
    object.SetLayout({4, 4});
    object.SetInt(0, 1);
    object.SetInt(1, 2);
    EXPECT_EQ(object.GetInt(1, -1), 2);
    EXPECT_EQ(object.GetDouble(1, -1.0), -1.0);
}

TEST(DataObjectTest, UnsetKeepsBytesButGettersGiveDefault) {
    CDataObject object(1);
    object.SetLayout({4, 4});
    object.SetInt(0, 42);
    object.SetInt(1, 43);
    object.LoadRecord(std::vector<char>(object.RecordSize()).data());  // clean
    std::vector<char> record(object.RecordSize());
    object.SetInt(0, 42);
    object.SetInt(1, 43);
    object.StoreRecord(record.data());
    object.Unset(0);
    EXPECT_TRUE(object.IsDirty());
    EXPECT_EQ(object.GetInt(0, -1), -1);
    EXPECT_EQ(object.GetInt(1, -1), 43);
    object.UnsetAll();
    EXPECT_EQ(object.GetInt(1, -1), -1);
    std::vector<char> after(object.RecordSize());
    object.StoreRecord(after.data());
    EXPECT_EQ(0, std::memcmp(record.data() + 8, after.data() + 8, record.size() - 8));
}

TEST(DataObjectTest, LoadAndStoreClearDirty) {
    CDataObject a(1), b(2);
    a.SetLayout({4, 16});
    b.SetLayout({4, 16});
    a.SetInt(0, 5);
    a.SetString(1, "hello");
    std::vector<char> record(a.RecordSize());
    a.StoreRecord(record.data());
    EXPECT_FALSE(a.IsDirty());
    b.SetInt(0, 1);
    b.LoadRecord(record.data());
    EXPECT_FALSE(b.IsDirty());
    EXPECT_EQ(b.GetInt(0, 0), 5);
    EXPECT_STREQ(b.GetString(1, ""), "hello");
}

TEST(DataObjectTest, UnterminatedLoadedTextEndsInsideTheNode) {
    CDataObject object(1);
    object.SetLayout({4, 6});
    std::vector<char> record(object.RecordSize(), 'z');
    uint64_t mask = 3;
    std::memcpy(record.data(), &mask, 8);
    object.LoadRecord(record.data());
    // The text runs to the end of the record and stops at the node's own
    // terminator, never past the allocation (ASan watches this).
    EXPECT_EQ(std::strlen(object.GetString(1, "")), 6u);
}

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmora-data-node-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const char* name) const { return dir_ + "/" + name; }
    void WriteFile(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string dir_;
};

TEST_F(TempDirTest, ObjectFileRoundTripMarksDirty) {
    CDataObject a(1), b(1);
    a.SetLayout({4, 8, 32, 1});
    b.SetLayout({4, 8, 32, 1});
    a.SetInt(0, 11);
    a.SetString(2, "text");
    ASSERT_TRUE(a.SaveToFile(Path("rec").c_str()));
    EXPECT_EQ(std::filesystem::file_size(Path("rec")), 53u);
    b.LoadFromFile(Path("rec").c_str());
    EXPECT_TRUE(b.IsDirty()) << "a loaded file is published at the next visit end";
    EXPECT_EQ(b.GetInt(0, 0), 11);
    EXPECT_STREQ(b.GetString(2, ""), "text");
}

TEST_F(TempDirTest, ObjectFileOfOtherSizeOrMissingChangesNothing) {
    CDataObject object(1);
    object.SetLayout({4});
    object.SetInt(0, 3);
    std::vector<char> record(object.RecordSize());
    object.StoreRecord(record.data());
    for (const std::string& bytes : {std::string(11, 'a'), std::string(13, 'a'), std::string()}) {
        WriteFile(Path("bad"), bytes);
        object.LoadFromFile(Path("bad").c_str());
        EXPECT_FALSE(object.IsDirty()) << bytes.size();
        EXPECT_EQ(object.GetInt(0, 0), 3);
    }
    object.LoadFromFile(Path("missing").c_str());
    EXPECT_EQ(object.GetInt(0, 0), 3);
    EXPECT_FALSE(object.SaveToFile((dir_ + "/no/such/dir/file").c_str()));
}

// ---- arrays ----

TEST(DataArrayTest, AppendDirtiesTheArrayNotTheElement) {
    CDataArray array(3);
    array.SetLayout({4});
    IDataObject* element = array.Append();
    EXPECT_TRUE(array.IsDirty());
    EXPECT_FALSE(static_cast<CDataObject*>(element)->IsDirty());
    EXPECT_EQ(element->GetId(), 3u);
    EXPECT_EQ(element->GetInt(0, -1), -1);
    EXPECT_EQ(array.Size(), 1u);
}

TEST(DataArrayTest, RemovalAndLookup) {
    CDataArray array(3);
    array.SetLayout({4});
    std::vector<IDataObject*> elements;
    for (int i = 0; i < 4; ++i) {
        elements.push_back(array.Append());
        elements.back()->SetInt(0, i);
    }
    EXPECT_EQ(array.Find(elements[2]->Identity()), elements[2]);
    EXPECT_EQ(array.At(1), array.Get(1));
    EXPECT_EQ(array.Get(4), nullptr);
    array.RemoveAt(1);
    ASSERT_EQ(array.Size(), 3u);
    EXPECT_EQ(array.Get(1)->GetInt(0, -1), 2) << "later elements move up";
    array.Remove(elements[3]->Identity());
    ASSERT_EQ(array.Size(), 2u);
    array.SetDirty(false);
    array.Remove(12345);
    array.RemoveAt(7);
    EXPECT_FALSE(array.IsDirty()) << "removing nothing changes nothing";
    EXPECT_EQ(array.Find(12345), nullptr);
    array.RemoveAll();
    EXPECT_EQ(array.Size(), 0u);
    EXPECT_TRUE(array.IsDirty());
}

TEST(DataArrayTest, StoreRecordsWritesCountAndRecords) {
    CDataArray array(3);
    array.SetLayout({4});
    array.Append()->SetInt(0, 10);
    array.Append()->SetInt(0, 20);
    ASSERT_EQ(array.ArrayFormSize(), 28u);
    std::vector<char> form(28);
    array.StoreRecords(form.data());
    uint32_t count;
    int32_t second;
    std::memcpy(&count, form.data(), 4);
    std::memcpy(&second, form.data() + 4 + 12 + 8, 4);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(second, 20);
    EXPECT_FALSE(array.IsDirty());
    EXPECT_FALSE(array.AnyElementDirty());
}

struct LoadRecordsCase {
    const char* name;
    uint32_t existing;
    uint32_t count;
};

class LoadRecordsTest : public ::testing::TestWithParam<LoadRecordsCase> {};

TEST_P(LoadRecordsTest, ResizesThenLoads) {
    const LoadRecordsCase& c = GetParam();
    CDataArray array(3);
    array.SetLayout({4});
    for (uint32_t i = 0; i < c.existing; ++i) array.Append()->SetInt(0, 99);
    std::vector<char> form(4 + c.count * 12, 0);
    std::memcpy(form.data(), &c.count, 4);
    for (uint32_t i = 0; i < c.count; ++i) {
        const uint64_t mask = 1;
        const int32_t value = static_cast<int32_t>(i);
        std::memcpy(form.data() + 4 + i * 12, &mask, 8);
        std::memcpy(form.data() + 4 + i * 12 + 8, &value, 4);
    }
    array.LoadRecords(form.data());
    ASSERT_EQ(array.Size(), c.count);
    EXPECT_FALSE(array.IsDirty());
    EXPECT_FALSE(array.AnyElementDirty());
    for (uint32_t i = 0; i < c.count; ++i) EXPECT_EQ(array.Get(i)->GetInt(0, -1), static_cast<int32_t>(i));
}

INSTANTIATE_TEST_SUITE_P(Counts, LoadRecordsTest,
                         ::testing::Values(LoadRecordsCase{"ZeroRemovesAll", 3, 0},
                                           LoadRecordsCase{"Grows", 1, 4}, LoadRecordsCase{"Shrinks", 5, 2},
                                           LoadRecordsCase{"Same", 2, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DataArrayTest, SetLayoutMarksDirtyWhenAnElementIs) {
    CDataArray array(3);
    array.SetLayout({4});
    array.Append();
    array.SetDirty(false);
    array.Get(0)->SetInt(0, 1);
    array.SetLayout({4});
    EXPECT_TRUE(array.IsDirty());
}

TEST(DataArrayTest, ElementsAppendedBeforeTheLayoutTakeIt) {
    CDataArray array(3);
    array.Append();
    array.SetLayout({4, 4});
    EXPECT_EQ(static_cast<CDataObject*>(array.Get(0))->RecordSize(), 16u);
    array.Get(0)->SetInt(1, 5);
    EXPECT_EQ(array.Get(0)->GetInt(1, 0), 5);
}

struct ArrayFormCase {
    const char* name;
    uint32_t count;
    uint64_t length;
    bool accepted;
};

class ArrayFormTest : public ::testing::TestWithParam<ArrayFormCase> {};

TEST_P(ArrayFormTest, AcceptsOnlyExactForms) {
    const ArrayFormCase& c = GetParam();
    CDataArray array(3);
    array.SetLayout({4});
    char header[4];
    std::memcpy(header, &c.count, 4);
    EXPECT_EQ(array.AcceptsArrayForm(header, c.length), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(Forms, ArrayFormTest,
                         ::testing::Values(ArrayFormCase{"Empty", 0, 4, true}, ArrayFormCase{"Three", 3, 40, true},
                                           ArrayFormCase{"TooShortForCount", 0, 3, false},
                                           ArrayFormCase{"OneByteShort", 3, 39, false},
                                           ArrayFormCase{"OneByteLong", 3, 41, false},
                                           ArrayFormCase{"HugeCount", 0xffffffffu, 40, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TempDirTest, ArrayFileRoundTripAndMalformedFiles) {
    CDataArray a(3), b(3);
    a.SetLayout({4});
    b.SetLayout({4});
    a.Append()->SetInt(0, 7);
    a.Append()->SetInt(0, 8);
    a.SaveToFile(Path("arr").c_str());
    EXPECT_TRUE(a.IsDirty()) << "saving does not publish";
    EXPECT_EQ(std::filesystem::file_size(Path("arr")), 28u);
    b.LoadFromFile(Path("arr").c_str());
    ASSERT_EQ(b.Size(), 2u);
    EXPECT_TRUE(b.IsDirty());
    EXPECT_EQ(b.Get(1)->GetInt(0, 0), 8);

    b.RemoveAll();
    b.SetDirty(false);
    std::string form(28, '\0');
    form[0] = 3;  // claims three elements in a two-element file
    for (const std::string& bytes : {form, std::string(3, '\0'), form.substr(0, 27)}) {
        WriteFile(Path("bad"), bytes);
        b.LoadFromFile(Path("bad").c_str());
        EXPECT_EQ(b.Size(), 0u);
        EXPECT_FALSE(b.IsDirty());
    }
}

}  // namespace
}  // namespace Application
