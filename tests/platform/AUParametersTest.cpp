#include "platform/audiotoolbox/AUParameters.h"

#include <gtest/gtest.h>

#include <map>

namespace {

constexpr auto kRW = kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable;

std::shared_ptr<AUParameter> makeParameter(const std::string& id, AUParameterAddress address) {
    return AUParameterTree::createParameterWithIdentifier(id, id + " name", address, 0, 100, kAudioUnitParameterUnit_Percent,
                                            std::nullopt, kRW, std::nullopt, std::nullopt);
}

// a(0), group g { b(5), group h { c(2) } }, d(1)
std::shared_ptr<AUParameterTree> makeNestedTree() {
    auto inner = AUParameterTree::createGroupWithIdentifier("h", "H", {makeParameter("c", 2)});
    auto group = AUParameterTree::createGroupWithIdentifier("g", "G", {makeParameter("b", 5), inner});
    return AUParameterTree::createTreeWithChildren({makeParameter("a", 0), group, makeParameter("d", 1)});
}

TEST(AUParameterTreeTest, AllParametersAreDepthFirstInTreeOrder) {
    auto tree = makeNestedTree();
    std::vector<std::string> ids;
    for (auto& p : tree->allParameters()) ids.push_back(p->identifier());
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(AUParameterTreeTest, AddressLookupFindsNestedParametersAndNothingForUnknown) {
    auto tree = makeNestedTree();
    ASSERT_NE(tree->parameterWithAddress(2), nullptr);
    EXPECT_EQ(tree->parameterWithAddress(2)->identifier(), "c");
    EXPECT_EQ(tree->parameterWithAddress(1)->identifier(), "d");
    EXPECT_EQ(tree->parameterWithAddress(6), nullptr);
    EXPECT_TRUE(AUParameterTree::createTreeWithChildren({})->allParameters().empty());
}

TEST(AUParameterTreeTest, NodeCannotJoinTwoGroups) {
    auto p = makeParameter("a", 0);
    auto tree = AUParameterTree::createTreeWithChildren({p});
    EXPECT_THROW(AUParameterTree::createGroupWithIdentifier("g", "G", {p}), std::invalid_argument);
}

TEST(AUParameterTest, ValueOutsideTreeIsStoredAndReachesNoObserver) {
    auto p = makeParameter("a", 0);
    int calls = 0;
    p->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++calls; });
    p->setValue(42);
    EXPECT_EQ(p->value(), 42);
    EXPECT_EQ(calls, 0);
}

TEST(AUParameterTest, ProviderAndImplementorObserverRoundTripThroughAStore) {
    auto tree = makeNestedTree();
    std::map<AUParameterAddress, AUValue> store;
    tree->setImplementorValueObserver([&](AUParameter& p, AUValue v) { store[p.address()] = v; });
    tree->setImplementorValueProvider([&](AUParameter& p) { return store.count(p.address()) ? store[p.address()] : 0.f; });

    auto c = tree->parameterWithAddress(2);
    c->setValue(12.5f);
    EXPECT_EQ(store[2], 12.5f);
    store[2] = 99;  // a change behind the tree's back shows through the provider
    EXPECT_EQ(c->value(), 99);
    EXPECT_EQ(tree->parameterWithAddress(5)->value(), 0);
}

TEST(AUParameterTest, ObserversSeeEveryChangeExceptTheirOwn) {
    auto tree = makeNestedTree();
    auto b = tree->parameterWithAddress(5);
    std::vector<std::pair<AUParameterAddress, AUValue>> treeSeen, paramSeen;
    std::vector<AUParameterAutomationEventType> types;
    auto treeToken = tree->tokenByAddingParameterAutomationObserver(
        [&](AUParameterAddress a, AUValue v, AUParameterAutomationEventType t) {
            treeSeen.emplace_back(a, v);
            types.push_back(t);
        });
    auto paramToken = b->tokenByAddingParameterObserver([&](AUParameterAddress a, AUValue v) { paramSeen.emplace_back(a, v); });

    b->setValue(1);
    b->setValue(2, paramToken);  // the parameter's own observer originated this one
    b->setValue(3, treeToken, 0, AUParameterAutomationEventType::touch);
    EXPECT_EQ(paramSeen, (std::vector<std::pair<AUParameterAddress, AUValue>>{{5, 1}, {5, 3}}));
    EXPECT_EQ(treeSeen, (std::vector<std::pair<AUParameterAddress, AUValue>>{{5, 1}, {5, 2}}));
    EXPECT_EQ(types[0], AUParameterAutomationEventType::value);

    tree->removeParameterObserver(treeToken);
    b->setValue(4);
    EXPECT_EQ(treeSeen.size(), 2u);
    EXPECT_EQ(paramSeen.size(), 3u);
}

TEST(AUParameterTest, StringFromValueUsesTheInstalledCallbackForAllParameters) {
    auto tree = makeNestedTree();
    tree->setImplementorStringFromValueCallback([](AUParameter& p, const AUValue* v) {
        return v ? p.identifier() + std::to_string(static_cast<int>(*v)) : std::string("-");
    });
    AUValue v = 7;
    EXPECT_EQ(tree->parameterWithAddress(2)->stringFromValue(&v), "c7");
    EXPECT_EQ(tree->parameterWithAddress(0)->stringFromValue(nullptr), "-");
}

TEST(AUParameterTest, NodesOutlivingTheirTreeBecomeDetached) {
    std::shared_ptr<AUParameter> c;
    {
        auto tree = makeNestedTree();
        tree->setImplementorValueProvider([](AUParameter&) { return 5.f; });
        c = tree->parameterWithAddress(2);
        c->setValue(8);
        EXPECT_EQ(c->value(), 5);
    }
    EXPECT_EQ(c->parentNode(), nullptr);
    EXPECT_EQ(c->value(), 8);
}

}  // namespace
