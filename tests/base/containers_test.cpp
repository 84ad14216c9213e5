// Ownership and order in QueueOf and dynamic_array, and b_string's copies.
#include <cstdint>
#include <cstring>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <kistle/b_string.h>
#include <kistle/dynamic_array.h>
#include <kistle/object_base.h>
#include <kistle/queue_of.h>

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Records its id in a shared log when destroyed, so a test sees which objects
// were deleted, how often, and in which order.
class tracked : public ObjectBase {
public:
    tracked(int id, std::vector<int>& deaths) : id(id), deaths(deaths) {}
    ~tracked() override { deaths.push_back(id); }
    const int id;

private:
    std::vector<int>& deaths;
};

class Containers : public ::testing::Test {
protected:
    tracked* make(int id) { return new tracked(id, deaths); }

    std::vector<int> deaths;
};

using queue_of_test = Containers;
using dynamic_array_test = Containers;

TEST(object_base_test, link_next_returns_the_previous_link) {
    ObjectBase a, b, c;
    EXPECT_EQ(a.LinkNext(&b), nullptr);
    EXPECT_EQ(a.LinkNext(&c), &b);
    EXPECT_EQ(a.LinkNext(nullptr), &c);
    EXPECT_EQ(a.LinkNext(nullptr), nullptr);
}

TEST_F(queue_of_test, take_head_returns_objects_in_append_order_and_unlinks_them) {
    QueueOf<tracked> queue;
    for (int id = 1; id <= 3; ++id)
        ASSERT_TRUE(queue.Append(make(id)));
    EXPECT_EQ(queue.count, 3u);

    for (int id = 1; id <= 3; ++id) {
        tracked* taken = queue.TakeHead();
        EXPECT_EQ(taken->id, id);
        EXPECT_EQ(taken->LinkNext(nullptr), nullptr); // its link was cleared
        EXPECT_EQ(queue.count, static_cast<uint64_t>(3 - id));
        delete taken;
    }
    EXPECT_EQ(queue.head, nullptr);
    EXPECT_THAT(deaths, ElementsAre(1, 2, 3));

    // An emptied queue takes objects again from the start.
    queue.Append(make(4));
    EXPECT_EQ(queue.head->id, 4);
    EXPECT_EQ(queue.tail->id, 4);
}

TEST_F(queue_of_test, clear_and_destructor_delete_each_object_once_in_order) {
    {
        QueueOf<tracked> queue;
        for (int id = 1; id <= 3; ++id)
            queue.Append(make(id));
        queue.Clear();
        EXPECT_THAT(deaths, ElementsAre(1, 2, 3));
        EXPECT_EQ(queue.head, nullptr);
        EXPECT_EQ(queue.tail, nullptr);
        EXPECT_EQ(queue.count, 0u);

        queue.Append(make(4));
        queue.Append(make(5));
    }
    EXPECT_THAT(deaths, ElementsAre(1, 2, 3, 4, 5));
}

TEST_F(queue_of_test, moving_every_object_to_another_queue_keeps_the_order) {
    QueueOf<tracked> target;
    target.Append(make(0));
    {
        QueueOf<tracked> source;
        for (int id = 1; id <= 4; ++id)
            source.Append(make(id));
        while (source.head != nullptr)
            target.Append(source.TakeHead());
        EXPECT_EQ(source.count, 0u);
    }
    EXPECT_THAT(deaths, IsEmpty()); // the emptied source deleted nothing
    EXPECT_EQ(target.count, 5u);
    target.Clear();
    EXPECT_THAT(deaths, ElementsAre(0, 1, 2, 3, 4));
}

TEST_F(queue_of_test, full_count_refuses_and_leaves_the_object_with_the_caller) {
    QueueOf<tracked> queue;
    queue.Append(make(1));
    queue.count = UINT64_MAX;
    tracked* refused = make(2);

    EXPECT_FALSE(queue.Append(refused));
    EXPECT_EQ(queue.count, UINT64_MAX);
    EXPECT_EQ(queue.tail->id, 1);
    EXPECT_EQ(queue.head->LinkNext(nullptr), nullptr); // not linked behind the head

    queue.count = 1;
    queue.Clear();
    EXPECT_THAT(deaths, ElementsAre(1));
    delete refused;
    EXPECT_THAT(deaths, ElementsAre(1, 2));
}

TEST_F(dynamic_array_test, append_keeps_order_across_growth) {
    dynamic_array<tracked> array;
    EXPECT_EQ(array.count, 0u);
    for (int id = 0; id < 100; ++id)
        ASSERT_TRUE(array.append(make(id)));
    ASSERT_EQ(array.count, 100u);
    for (int id = 0; id < 100; ++id)
        EXPECT_EQ(array[id]->id, id);
}

TEST_F(dynamic_array_test, free_buffers_deletes_the_last_first_and_only_once) {
    std::vector<int> expected;
    {
        dynamic_array<tracked> array;
        for (int id = 0; id < 10; ++id) {
            array.append(make(id));
            expected.insert(expected.begin(), id);
        }
        array.append(nullptr); // an empty slot is skipped

        array.free_buffers();
        EXPECT_THAT(deaths, ElementsAreArray(expected));
        EXPECT_EQ(array.count, 0u);
        EXPECT_EQ(array.items, nullptr);

        array.free_buffers();
        EXPECT_EQ(deaths.size(), 10u);

        // Usable again; the destructor deletes what it then holds.
        array.append(make(20));
    }
    EXPECT_EQ(deaths.size(), 11u);
    EXPECT_EQ(deaths.back(), 20);
}

TEST(b_string_test, stores_a_copy_and_del_empties_it) {
    b_string name;
    EXPECT_EQ(name.text, nullptr);

    char source[] = "first";
    name = source;
    source[0] = 'X';
    EXPECT_STREQ(name.text, "first");
    EXPECT_NE(name.text, source);

    name = "second"; // replacing a text frees the earlier one
    EXPECT_STREQ(name.text, "second");

    name.Del();
    EXPECT_EQ(name.text, nullptr);
    name.Del();
    EXPECT_EQ(name.text, nullptr);
}

} // namespace
