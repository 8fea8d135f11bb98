#include "pictures/text.hpp"

#include <array>
#include <stdexcept>

namespace tulo::pictures {

namespace {

struct FaceFile {
    Face face;
    const char* name;
    const char* file;
    Face bold;
};

const std::array<FaceFile, 18> face_files{{
    {Face::serif, "serif", "dejavu/DejaVuSerif.ttf", Face::serif_bold},
    {Face::serif_bold, "serif_bold", "dejavu/DejaVuSerif-Bold.ttf", Face::serif_bold},
    {Face::sans, "sans", "dejavu/DejaVuSans.ttf", Face::sans_bold},
    {Face::sans_bold, "sans_bold", "dejavu/DejaVuSans-Bold.ttf", Face::sans_bold},
    {Face::mono, "mono", "dejavu/DejaVuSansMono.ttf", Face::mono_bold},
    {Face::mono_bold, "mono_bold", "dejavu/DejaVuSansMono-Bold.ttf", Face::mono_bold},
    {Face::book, "book", "liberation2/LiberationSerif-Regular.ttf", Face::book_bold},
    {Face::book_italic, "book_italic", "liberation2/LiberationSerif-Italic.ttf", Face::book_bold},
    {Face::book_bold, "book_bold", "liberation2/LiberationSerif-Bold.ttf", Face::book_bold},
    {Face::grotesque, "grotesque", "liberation2/LiberationSans-Regular.ttf", Face::grotesque_bold},
    {Face::grotesque_bold, "grotesque_bold", "liberation2/LiberationSans-Bold.ttf", Face::grotesque_bold},
    {Face::typewriter, "typewriter", "freefont/FreeMono.ttf", Face::typewriter_bold},
    {Face::typewriter_bold, "typewriter_bold", "freefont/FreeMonoBold.ttf", Face::typewriter_bold},
    {Face::old_style, "old_style", "freefont/FreeSerif.ttf", Face::old_style_bold},
    {Face::old_style_italic, "old_style_italic", "freefont/FreeSerifItalic.ttf", Face::old_style_bold},
    {Face::old_style_bold, "old_style_bold", "freefont/FreeSerifBold.ttf", Face::old_style_bold},
    {Face::swiss, "swiss", "freefont/FreeSans.ttf", Face::swiss_bold},
    {Face::swiss_bold, "swiss_bold", "freefont/FreeSansBold.ttf", Face::swiss_bold},
}};

const FaceFile& entry(Face face)
{
    for (const FaceFile& candidate : face_files)
        if (candidate.face == face)
            return candidate;
    throw std::invalid_argument("the Hershey fonts are drawn by OpenCV and have no TrueType file");
}

// Letters weighted by how often they occur, vowels apart from consonants, so that alternating the
// two gives pronounceable words; and frequent short words of a language written in the script.
struct Alphabet {
    std::u32string vowels;
    std::vector<int> vowel_weights;
    std::u32string consonants;
    std::vector<int> consonant_weights;
    std::vector<const char*> common_words;
};

const Alphabet& alphabet(Script script)
{
    static const Alphabet latin{
        U"eaoiuy", {127, 82, 75, 70, 28, 20},
        U"tnshrdlcmwfgpbvkjxqz", {91, 67, 63, 61, 60, 43, 40, 28, 24, 24, 22, 20, 19, 15, 10, 8, 2, 2, 1, 1},
        {"the", "of", "and", "to", "in", "is", "that", "for", "it", "as", "was", "with", "be", "by", "on",
         "not", "he", "this", "are", "or", "his", "from", "at", "which", "but", "have", "an", "they", "were",
         "her", "she", "there", "had", "been", "one", "all", "we", "can", "their", "has", "more", "if", "will",
         "would", "about", "when", "into", "some", "than", "other", "time", "people", "could", "only", "new",
         "after", "first", "also", "made", "work", "between", "under", "house", "water", "through"}};
    static const Alphabet cyrillic{
        U"оеаиыяуюэ", {110, 85, 80, 74, 19, 20, 26, 6, 3},
        U"нтсрвлкмдпзгбчйхжшцщфь", {67, 63, 55, 47, 45, 44, 35, 32, 30, 28, 16, 17, 16, 14, 12, 10, 9, 7, 5, 4, 3, 17},
        {"и", "в", "не", "на", "что", "он", "с", "как", "а", "то", "все", "она", "так", "его", "но", "да",
         "к", "у", "же", "за", "бы", "по", "только", "было", "вот", "от", "еще", "нет", "о", "из", "ему",
         "когда", "даже", "уже", "или", "быть", "был", "до", "там", "потом", "себя", "может", "они", "где",
         "есть", "для", "мы", "их", "чем", "была", "без", "раз", "тоже", "под", "будет", "тогда", "кто",
         "этот", "потому", "один", "работа", "дом", "город", "время", "после", "через", "всегда", "между"}};
    static const Alphabet greek{
        U"αεοιηυωάέόίήύώ", {120, 80, 95, 90, 40, 40, 15, 20, 15, 18, 18, 12, 8, 8},
        U"τνσκπμρλδγθχφβξζψ", {80, 65, 70, 40, 40, 35, 50, 30, 20, 18, 12, 10, 9, 6, 4, 4, 2},
        {"και", "το", "να", "η", "της", "ο", "που", "τα", "σε", "με", "την", "του", "από", "για", "δεν",
         "είναι", "θα", "τον", "στο", "στην", "οι", "των", "ένα", "μια", "στη", "αλλά", "αυτό", "στα", "τις",
         "ή", "πως", "ότι", "όταν", "πολύ", "μετά", "έχει", "ήταν", "όπως", "κάθε", "χωρίς", "μόνο", "όλα",
         "μας", "σας", "τους", "σπίτι", "χρόνια", "άνθρωποι", "νερό", "δουλειά", "πόλη", "ημέρα", "πάντα"}};
    switch (script) {
    case Script::cyrillic:
        return cyrillic;
    case Script::greek:
        return greek;
    case Script::latin:
        break;
    }
    return latin;
}

constexpr int common_word_percent = 45;
constexpr int shortest_sentence = 4;
constexpr int longest_sentence = 22;
// Made-up words take a vowel-consonant pattern of this many letters at most.
constexpr int longest_made_word = 12;

char32_t pick(const std::u32string& letters, const std::vector<int>& weights, cv::RNG& rng)
{
    int total = 0;
    for (const int weight : weights)
        total += weight;
    int ticket = rng.uniform(0, total);
    for (std::size_t i = 0; i < letters.size(); ++i) {
        ticket -= weights[i];
        if (ticket < 0)
            return letters[i];
    }
    return letters.back();
}

// Consonants and vowels alternate; now and then two consonants meet.
std::u32string made_word(const Alphabet& letters, cv::RNG& rng)
{
    const int length = std::min(longest_made_word, rng.uniform(2, 6) + rng.uniform(0, 6));
    std::u32string word;
    bool vowel = rng.uniform(0, 3) == 0;
    while (static_cast<int>(word.size()) < length) {
        word += vowel ? pick(letters.vowels, letters.vowel_weights, rng)
                      : pick(letters.consonants, letters.consonant_weights, rng);
        vowel = !vowel && rng.uniform(0, 5) != 0;
    }
    return word;
}

// Accents are dropped on Greek capitals inside a word; only the first letter is raised here.
char32_t capital(char32_t letter)
{
    if ((letter >= U'a' && letter <= U'z') || (letter >= U'а' && letter <= U'я') ||
        (letter >= U'α' && letter <= U'ω' && letter != U'ς'))
        return letter - 0x20;
    switch (letter) {
    case U'ё': return U'Ё';
    case U'ά': return U'Ά';
    case U'έ': return U'Έ';
    case U'ή': return U'Ή';
    case U'ί': return U'Ί';
    case U'ό': return U'Ό';
    case U'ύ': return U'Ύ';
    case U'ώ': return U'Ώ';
    default: return letter;
    }
}

// Greek writes a sigma at the end of a word as ς.
void finish_word(std::u32string& word, Script script)
{
    if (script == Script::greek && word.back() == U'σ')
        word.back() = U'ς';
}

char32_t sentence_end(Script script, cv::RNG& rng)
{
    if (rng.uniform(0, 12) != 0)
        return U'.';
    return script == Script::greek ? U';' : U'?';  // the Greek question mark looks like a semicolon
}

} // namespace

const std::vector<Face>& truetype_faces()
{
    static const std::vector<Face> faces = [] {
        std::vector<Face> all;
        for (const FaceFile& entry : face_files)
            all.push_back(entry.face);
        return all;
    }();
    return faces;
}

Face bold_of(Face face)
{
    return face == Face::hershey ? face : entry(face).bold;
}

std::string describe(Face face)
{
    return face == Face::hershey ? "hershey" : entry(face).name;
}

std::string describe(Script script)
{
    switch (script) {
    case Script::cyrillic:
        return "cyrillic";
    case Script::greek:
        return "greek";
    case Script::latin:
        break;
    }
    return "latin";
}

std::string font_file(Face face)
{
    return std::string("/usr/share/fonts/truetype/") + entry(face).file;
}

std::string Prose::next_word(cv::RNG& rng)
{
    const Alphabet& letters = alphabet(script_);
    const bool starts_sentence = left_in_sentence_ == 0;
    if (starts_sentence)
        left_in_sentence_ = rng.uniform(shortest_sentence, longest_sentence + 1);
    std::u32string word = rng.uniform(0, 100) < common_word_percent
                              ? decode_utf8(letters.common_words[rng.uniform(0, static_cast<int>(letters.common_words.size()))])
                              : made_word(letters, rng);
    finish_word(word, script_);
    if (starts_sentence)
        word.front() = capital(word.front());
    if (--left_in_sentence_ == 0)
        word += sentence_end(script_, rng);
    else if (rng.uniform(0, 10) == 0)
        word += rng.uniform(0, 5) == 0 ? U':' : U',';
    return encode_utf8(word);
}

std::u32string decode_utf8(const std::string& text)
{
    std::u32string decoded;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int continuation = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
        char32_t code = continuation == 0 ? lead : continuation == 1 ? lead & 0x1F : continuation == 2 ? lead & 0x0F : lead & 0x07;
        bool valid = continuation >= 0 && i + static_cast<std::size_t>(continuation) < text.size();
        for (int k = 1; valid && k <= continuation; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        decoded += valid ? code : U'\uFFFD';
        i += valid ? static_cast<std::size_t>(continuation) + 1 : 1;
    }
    return decoded;
}

std::string encode_utf8(const std::u32string& text)
{
    std::string encoded;
    for (const char32_t code : text) {
        if (code < 0x80) {
            encoded += static_cast<char>(code);
        } else if (code < 0x800) {
            encoded += static_cast<char>(0xC0 | (code >> 6));
            encoded += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            encoded += static_cast<char>(0xE0 | (code >> 12));
            encoded += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            encoded += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            encoded += static_cast<char>(0xF0 | (code >> 18));
            encoded += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            encoded += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            encoded += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return encoded;
}

} // namespace tulo::pictures
