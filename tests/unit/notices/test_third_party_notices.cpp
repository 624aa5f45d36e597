// The third-party notices that ship with the programs name every component of others that this
// build compiles in or links, with the version that the component's own headers declare (not the
// values the notices were written from), its licence text and where its source is to be had.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#ifdef KELVO_WITH_QT
#include <QtGlobal>
#endif

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadNotices() {
    std::ifstream file(KELVO_NOTICES, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

struct TComponent {
    std::string sHeading;            // name and version, as the section's heading starts
    std::vector<std::string> aTexts; // what its licence text must hold
};

std::vector<TComponent> Components() {
    std::vector<TComponent> a{
        {"nlohmann-json " + std::to_string(NLOHMANN_JSON_VERSION_MAJOR) + "." +
             std::to_string(NLOHMANN_JSON_VERSION_MINOR) + "." +
             std::to_string(NLOHMANN_JSON_VERSION_PATCH),
         {"Permission is hereby granted, free of charge",
          "The above copyright notice and this permission notice shall be included"}},
        {std::string("SQLite ") + SQLITE_VERSION,
         {"The author disclaims copyright to this source code",
          "May you share freely, never taking more than you give."}},
    };
#ifdef KELVO_WITH_QT
#ifdef _WIN32
    // Shipped with the programs: both licence texts in full.
    a.push_back({std::string("Qt ") + QT_VERSION_STR,
                 {"GNU LESSER GENERAL PUBLIC LICENSE\n                       Version 3",
                  "GNU GENERAL PUBLIC LICENSE\n                       Version 3",
                  "src/3rdparty/zlib/src/*", "License: libpng"}});
#else
    // The system's libraries: the system's licence files named.
    a.push_back({std::string("Qt ") + QT_VERSION_STR,
                 {"/usr/share/common-licenses/LGPL-3", "/usr/share/common-licenses/GPL-3"}});
#endif
#endif
    return a;
}

// The section that starts with the heading sHeading: up to the next heading's rule.
std::string Section(const std::string& sNotices, const std::string& sHeading) {
    const std::string sRule(72, '=');
    const std::size_t iAt = sNotices.find(sRule + "\n" + sHeading);
    if (iAt == std::string::npos)
        return "";
    const std::size_t iEnd = sNotices.find("\n" + sRule + "\n", iAt + 2 * sRule.size() + 2);
    return sNotices.substr(iAt, iEnd == std::string::npos ? std::string::npos : iEnd - iAt);
}

} // namespace

TEST(ThirdPartyNotices, NameEveryComponentWithItsVersionLicenceAndSource) {
    const std::string sNotices = ReadNotices();
    ASSERT_FALSE(sNotices.empty()) << KELVO_NOTICES << " is missing or empty";
    for (const TComponent& c : Components()) {
        SCOPED_TRACE(c.sHeading);
        const std::string sSection = Section(sNotices, c.sHeading);
        ASSERT_FALSE(sSection.empty()) << "no section headed \"" << c.sHeading << "\"";
        // The heading names exactly this version ("Qt 6.4.2" must not pass as "Qt 6.4.20").
        EXPECT_TRUE(std::regex_search(sSection, std::regex("^=+\n" + c.sHeading + "( .*)?\n")));
        for (const char* sField : {"\nUse: ", "\nLicence: ", "\nSource: "})
            EXPECT_NE(sSection.find(sField), std::string::npos) << "no line" << sField;
        for (const std::string& sText : c.aTexts)
            EXPECT_NE(sSection.find(sText), std::string::npos) << "no \"" << sText << "\"";
    }
}
