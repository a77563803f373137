// Every message of tvqcard exists in both languages, with the same places.
#include "Messages.h"

#include <gtest/gtest.h>

#include <set>

TEST(Messages, EveryMessageInEnglishAndJapaneseWithAllItsPlaces)
{
    for (int i = 0; i < static_cast<int>(Msg::Count_); ++i) {
        const Msg id = static_cast<Msg>(i);
        std::set<int> used[2];
        for (int ja = 0; ja < 2; ++ja) {
            ForceLanguage(ja == 1);
            const std::string text = Say(id, {"<0>", "<1>", "<2>", "<3>", "<4>"});
            EXPECT_NE(text, "?") << "message " << i << (ja ? " (ja)" : " (en)") << " is missing";
            EXPECT_EQ(text.find('{'), std::string::npos) << text;
            for (int p = 0; p < 5; ++p)
                if (text.find("<" + std::to_string(p) + ">") != std::string::npos) used[ja].insert(p);
        }
        EXPECT_EQ(used[0], used[1]) << "message " << i << ": the languages fill different places";
    }
    ForceLanguage(true);
    EXPECT_EQ(Say(Msg::CountZero), "セクタ数を指定して下さい。");
    ForceLanguage(false);
    EXPECT_EQ(Say(Msg::NoCard, {"slot3"}), "no card in slot3");
}
