#include "command_line_words.h"

namespace qlmr {

std::vector<std::string> splitCommandLine(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false; // a quoted stretch starts a word even when it is empty
    bool quoted = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
            ++i;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            std::size_t count = 0;
            while (i < text.size() && text[i] == '\\') {
                ++count;
                ++i;
            }
            if (i < text.size() && text[i] == '"') {
                word.append(count / 2, '\\');
                if (count % 2 == 1) {
                    word += '"';
                    ++i;
                }
                // An even run leaves the quote to the next round.
            } else {
                word.append(count, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                word += '"';
                i += 2;
                continue;
            }
            quoted = !quoted;
            ++i;
            continue;
        }
        word += c;
        ++i;
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

} // namespace qlmr
