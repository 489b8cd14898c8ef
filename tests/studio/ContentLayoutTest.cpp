// The content's message: a long error text wraps between its words into lines no wider than the
// panel, keeps every word in order, and keeps the retry note on a line of its own.

#include "studio/content/ContentLayout.h"
#include "studio/ui/StudioRenderer.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tolvane::studio {
namespace {

std::vector<std::string> wordsOf(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

TEST(ContentLayoutMessage, LongErrorsWrapBetweenWordsWithinThePanelsWidth) {
    const StudioResources resources{Bundle(TOLVANE_STUDIO_RESOURCE_DIR)};
    const std::string error = "Tolvane: Failed to instantiate AU: Error Domain=NSOSStatusErrorDomain Code=-3000 "
                              "\"no installed component matches aufx vnyl MrLw\"";
    ContentSnapshot snapshot;
    snapshot.message = error + "\nRetrying...";
    const ContentLayout layout = layoutContent(Rect{0, 0, 800, 600}, snapshot, 4, resources.metrics());

    ASSERT_GE(layout.messageLines.size(), 3u) << "the error takes more than one line, the note one more";
    std::string rejoined;
    for (std::size_t i = 0; i + 1 < layout.messageLines.size(); ++i) {
        EXPECT_LE(layout.messageLines[i].frame.width, kMessageMaximumWidth) << layout.messageLines[i].text;
        EXPECT_LT(layout.messageLines[i].frame.y, layout.messageLines[i + 1].frame.y);
        rejoined += layout.messageLines[i].text + " ";
    }
    EXPECT_EQ(wordsOf(rejoined), wordsOf(error));
    EXPECT_EQ(layout.messageLines.back().text, "Retrying...");
    EXPECT_LE(layout.contentSize.width, kMessageMaximumWidth + 8);

    snapshot.message = "No Audio Unit loaded..";
    const ContentLayout shortOne = layoutContent(Rect{0, 0, 800, 600}, snapshot, 4, resources.metrics());
    ASSERT_EQ(shortOne.messageLines.size(), 1u);
    EXPECT_EQ(shortOne.messageLines.front().text, "No Audio Unit loaded..");
}

}  // namespace
}  // namespace tolvane::studio
