#include <tulo/PipelineOptions.hpp>

#include <tulo/PipelineReport.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>

namespace tulo::pipeline {
namespace {

constexpr int first_kind = static_cast<int>(Kind::original);
constexpr int last_kind = static_cast<int>(Kind::threshold_dog);
constexpr unsigned max_jobs = 4096;
// A margin wider than any page is still a whole page.
constexpr int max_margin = 1 << 20;

// The state of a parse: values that are only understood once the whole line has been read.
struct Parse {
    Options options;
    bool kinds_given = false;
    std::string kind_list;
    bool format_given = false;
    DeskewSettings deskew_settings;
    OrientSettings orient_settings;
    CropSettings crop_settings;
    /** The long names of the options given. */
    std::set<std::string> given;
    /** (option, the option it sets) of each setting given, in order: a setting goes only with its option. */
    std::vector<std::pair<std::string, std::string>> settings;
};

// Which front ends have an option; an option of the runner alone is parsed by the runner.
enum Audience : unsigned { tool = 1, runner = 2, both = tool | runner };

struct OptionRule {
    char short_name;
    std::string long_name;
    /** Empty for a switch. */
    std::string value_name;
    std::string help;
    /** What the runner's help says instead, when the option means something else there. */
    std::string runner_help;
    Audience audience;
    /** The option whose setting this is, which it goes only with; indented further in the tool's
     *  help. Empty for an option of its own. */
    std::string setting_of;
    std::function<void(Parse&, const std::string&)> apply;
};

// How a front end's help lays out the options: the column of the help texts (the tool's own
// settings of --deskew further in) and the width the lines are wrapped to.
struct Layout {
    std::size_t column;
    std::size_t subordinate_column;
    std::size_t width;
};

Layout layout_of(FrontEnd front_end)
{
    return front_end == FrontEnd::tool ? Layout{21, 28, 90} : Layout{27, 27, 98};
}

bool all_digits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

void append_kinds(Parse& parse, const std::string& list)
{
    parse.kind_list += parse.kinds_given ? "," + list : list;
    parse.kinds_given = true;
}

unsigned parse_jobs(const std::string& text)
{
    const unsigned long value = all_digits(text) && text.size() < 9 ? std::stoul(text) : 0;
    if (value == 0 || value > max_jobs)
        throw UsageError("invalid number of jobs \"" + text + "\": give a whole number from 1 to " +
                         std::to_string(max_jobs));
    return static_cast<unsigned>(value);
}

std::string parse_out(const std::string& dir)
{
    if (dir.empty())
        throw UsageError("the output directory must not be empty");
    return dir;
}

// A decimal number, read the same in every locale; empty unless the whole text is a finite number.
std::optional<double> number(const std::string& text)
{
    double value = 0.0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// Degrees within the skew search's range: above 0, or from 0 where `zero_allowed`, up to its widest.
double parse_angle(const std::string& text, bool zero_allowed)
{
    const std::optional<double> degrees = number(text);
    const bool above_lowest = degrees && (zero_allowed ? *degrees >= 0.0 : *degrees > 0.0);
    if (!above_lowest || *degrees > widest_skew_angle)
        throw UsageError("invalid angle \"" + text + "\": give degrees " + (zero_allowed ? "from 0" : "above 0 and") +
                         " up to " + shortest_text(widest_skew_angle));
    return *degrees;
}

int parse_margin(const std::string& text)
{
    const std::optional<double> pixels = number(text);
    if (!pixels || *pixels < 0.0 || *pixels > max_margin || *pixels != std::floor(*pixels))
        throw UsageError("invalid margin \"" + text + "\": give a whole number of pixels from 0 to " +
                         std::to_string(max_margin));
    return static_cast<int>(*pixels);
}

double parse_confidence(const std::string& text)
{
    const std::optional<double> confidence = number(text);
    if (!confidence || *confidence < 0.0)
        throw UsageError("invalid confidence \"" + text + "\": give a number of 0 or more");
    return *confidence;
}

double parse_dpi(const std::string& text)
{
    const std::optional<double> dpi = number(text);
    if (!dpi || *dpi <= 0.0 || *dpi > max_render_dpi)
        throw UsageError("invalid resolution \"" + text + "\": give dots per inch above 0 and up to " +
                         shortest_text(max_render_dpi));
    return *dpi;
}

Format parse_format(const std::string& name)
{
    const std::vector<std::pair<std::string, Format>> formats = {
        {"jpg", Format::jpg}, {"png", Format::png}, {"tif", Format::tif}};
    for (const auto& [known, format] : formats) {
        if (name == known)
            return format;
    }
    throw UsageError("unknown format \"" + name + "\": give jpg, png or tif");
}

const std::vector<OptionRule>& option_rules()
{
    static const std::vector<OptionRule> rules = {
        {'\0', "scheduler", "ADDRESS",
         "run on the Dask scheduler at ADDRESS (tcp://HOST:8786); without it, a local cluster of N worker "
         "processes is started and stopped (-j N)",
         "", runner, "", nullptr},
        {'o', "out", "DIR", "write into DIR (default: out)", "", both, "",
         [](Parse& p, const std::string& v) { p.options.out_root = parse_out(v); }},
        {'k', "kinds", "LIST", "save only these kinds: names or numbers, comma-separated", "", both, "",
         [](Parse& p, const std::string& v) { append_kinds(p, v); }},
        {'\0', "deskew", "",
         "level each image by the angle of its rows of text and write it as OUTDIR/<its file name>, in its own "
         "format; an image whose angle is not found with confidence is written unchanged",
         "", both, "", [](Parse&, const std::string&) {}},
        {'\0', "max-angle", "DEG",
         "with --deskew: search tilts up to DEG degrees (default " + shortest_text(widest_skew_angle) + ")", "",
         both, "deskew", [](Parse& p, const std::string& v) { p.deskew_settings.max_angle = parse_angle(v, false); }},
        {'\0', "min-confidence", "X",
         "with --deskew: turn only from this confidence (default " + shortest_text(min_skew_confidence) + ")", "",
         both, "deskew",
         [](Parse& p, const std::string& v) { p.deskew_settings.min_confidence = parse_confidence(v); }},
        {'\0', "expand", "", "with --deskew: grow the canvas to hold the whole turned image", "", both, "deskew",
         [](Parse& p, const std::string&) { p.deskew_settings.canvas = DeskewCanvas::expand; }},
        {'\0', "min-angle", "DEG",
         "with --deskew: leave a tilt smaller than DEG degrees alone (default " +
             shortest_text(default_min_skew_angle) + ")",
         "", both, "deskew", [](Parse& p, const std::string& v) { p.deskew_settings.min_angle = parse_angle(v, true); }},
        {'\0', "orient", "",
         "stand each image upright (a quarter or half turn) and write it as OUTDIR/<its file name>, in its own "
         "format; with --deskew, levelled on either axis first, so that a page turned by any angle comes back "
         "upright and level; an image "
         "whose orientation is not found with confidence is not turned",
         "", both, "", [](Parse&, const std::string&) {}},
        {'\0', "min-orientation-confidence", "X",
         "with --orient: turn only from this confidence (default " + shortest_text(min_orientation_confidence) + ")",
         "", both, "orient",
         [](Parse& p, const std::string& v) { p.orient_settings.min_confidence = parse_confidence(v); }},
        {'\0', "crop", "",
         "cut each image to its content (after --orient and --deskew) and write it as OUTDIR/<its file name>, in "
         "its own format; a blank image, or one whose content is not found with confidence, is written uncut",
         "", both, "", [](Parse&, const std::string&) {}},
        {'\0', "margin", "PX",
         "with --crop: keep PX pixels around the content (default " + std::to_string(default_crop_margin) + ")", "",
         both, "crop", [](Parse& p, const std::string& v) { p.crop_settings.margin = parse_margin(v); }},
        {'\0', "dpi", "N",
         "render the PDF pages that are not one scanned image at N dots per inch (default " +
             shortest_text(default_render_dpi) + "); a page that is one image keeps its own resolution",
         "", both, "", [](Parse& p, const std::string& v) { p.options.render_dpi = parse_dpi(v); }},
        {'\0', "format", "FMT", "write jpg (default), png or tif files; png and tif are lossless", "", both, "",
         [](Parse& p, const std::string& v) {
             p.options.format = parse_format(v);
             p.format_given = true;
         }},
        {'r', "recursive", "", "also take the images in subdirectories", "", both, "",
         [](Parse& p, const std::string&) { p.options.recursive = true; }},
        {'\0', "resume", "", "skip images whose folder already holds every file to be written",
         "skip the images whose outputs are complete, without sending them", both, "",
         [](Parse& p, const std::string&) { p.options.resume = true; }},
        {'j', "jobs", "N", "process N images at once (default: one per core)",
         "worker processes of the local cluster (default: one per core)", both, "",
         [](Parse& p, const std::string& v) { p.options.jobs = parse_jobs(v); }},
        {'\0', "json", "", "print one JSON object per image instead of the summary lines", "", both, "",
         [](Parse& p, const std::string&) { p.options.json = true; }},
        {'q', "quiet", "", "print neither summaries nor progress; JSON and errors are still shown", "", both, "",
         [](Parse& p, const std::string&) { p.options.quiet = true; }},
        {'v', "verbose", "", "let OpenCV's own messages through", "", tool, "",
         [](Parse& p, const std::string&) { p.options.verbose = true; }},
        {'\0', "list-kinds", "", "list the kinds with their numbers and what they show, and exit", "", both, "",
         [](Parse& p, const std::string&) { p.options.list_kinds = true; }},
        {'h', "help", "", "show this help and exit", "", both, "",
         [](Parse& p, const std::string&) { p.options.help = true; }},
        {'V', "version", "", "show the version and exit", "", both, "",
         [](Parse& p, const std::string&) { p.options.version = true; }},
    };
    return rules;
}

// The rule an option word names; one the runner parses itself is unknown here.
const OptionRule& find_rule(const std::function<bool(const OptionRule&)>& matches, const std::string& shown)
{
    const std::vector<OptionRule>& rules = option_rules();
    const auto it = std::find_if(rules.begin(), rules.end(), matches);
    if (it == rules.end() || !it->apply)
        throw UsageError("unknown option \"" + shown + "\"");
    return *it;
}

void apply(Parse& parse, const OptionRule& rule, const std::string& value)
{
    rule.apply(parse, value);
    parse.given.insert(rule.long_name);
    if (!rule.setting_of.empty())
        parse.settings.emplace_back(rule.setting_of, rule.long_name);
}

// Takes the value of an option that needs one: the rest of the word, or else the next word.
std::string take_value(const std::string& shown, const std::string& attached, bool has_attached,
                       const std::vector<std::string>& args, std::size_t& i)
{
    if (has_attached)
        return attached;
    if (i + 1 >= args.size())
        throw UsageError("option \"" + shown + "\" needs a value");
    return args[++i];
}

void parse_long(Parse& parse, const std::vector<std::string>& args, std::size_t& i)
{
    const std::string body = args[i].substr(2);
    const std::size_t equals = body.find('=');
    const std::string name = body.substr(0, equals);
    const OptionRule& rule = find_rule([&](const OptionRule& s) { return s.long_name == name; }, "--" + name);
    const bool takes_value = !rule.value_name.empty();
    const bool has_value = equals != std::string::npos;
    if (!takes_value && has_value)
        throw UsageError("option \"--" + name + "\" takes no value");
    const std::string attached = has_value ? body.substr(equals + 1) : std::string();
    apply(parse, rule, takes_value ? take_value("--" + name, attached, has_value, args, i) : attached);
}

void parse_short(Parse& parse, const std::vector<std::string>& args, std::size_t& i)
{
    const std::string word = args[i];
    for (std::size_t at = 1; at < word.size(); ++at) {
        const std::string shown = std::string("-") + word[at];
        const OptionRule& rule = find_rule([&](const OptionRule& s) { return s.short_name == word[at]; }, shown);
        if (rule.value_name.empty()) {
            apply(parse, rule, std::string());
            continue;
        }
        const bool has_value = at + 1 < word.size();
        apply(parse, rule, take_value(shown, word.substr(at + 1), has_value, args, i));
        return;
    }
}

const std::string see_kinds = " (opsira --list-kinds shows them all)";

Kind parse_kind(const std::string& token)
{
    const std::vector<std::string>& names = Opsira::kind_names();
    const auto named = std::find(names.begin() + first_kind, names.begin() + last_kind + 1, token);
    int number = 0;
    if (all_digits(token) && token.size() < 4)
        number = std::stoi(token);
    else if (named != names.begin() + last_kind + 1)
        number = static_cast<int>(named - names.begin());
    if (number < first_kind || number > last_kind)
        throw UsageError("unknown kind \"" + token + "\"" + see_kinds);
    return static_cast<Kind>(number);
}

std::string trimmed(const std::string& text)
{
    const std::size_t begin = text.find_first_not_of(" \t");
    return begin == std::string::npos ? std::string() : text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The mosaic tiles what is stored when it is made, so it comes after every other kind.
bool save_before(Kind a, Kind b)
{
    const auto rank = [](Kind k) { return k == Kind::mosaic ? last_kind + 1 : static_cast<int>(k); };
    return rank(a) < rank(b);
}

// A setting has no meaning without its option.
void settle_settings(const Parse& parse)
{
    for (const auto& [option, setting] : parse.settings) {
        if (parse.given.count(option) == 0)
            throw UsageError("option \"--" + setting + "\" goes only with --" + option);
    }
}

// A page step writes one copy of each image in its own format: a choice of kinds or format has no
// meaning for it.
template <typename Settings>
void settle_page_step(const Parse& parse, const std::string& option, const std::string& copy,
                      const Settings& settings, std::optional<Settings>& chosen)
{
    if (parse.given.count(option) == 0)
        return;
    if (parse.kinds_given)
        throw UsageError("--" + option + " writes one " + copy + " copy of each image and takes no --kinds");
    if (parse.format_given)
        throw UsageError("--" + option + " keeps the format of each image and takes no --format");
    chosen = settings;
}

bool documented_for(const OptionRule& rule, FrontEnd front_end)
{
    return (rule.audience & (front_end == FrontEnd::tool ? tool : runner)) != 0;
}

// "  -o, --out DIR" or "      --deskew".
std::string label(const OptionDoc& option)
{
    const std::string name = "--" + option.long_name + (option.value_name.empty() ? "" : " " + option.value_name);
    return option.short_name != '\0' ? std::string("  -") + option.short_name + ", " + name : "      " + name;
}

// `words` after `first`, broken into lines of at most `width` whose continuations start at `column`.
std::string wrapped(std::string first, const std::string& words, std::size_t column, std::size_t width)
{
    std::string text;
    std::string line = std::move(first);
    std::istringstream stream(words);
    bool line_has_words = false;
    for (std::string word; stream >> word;) {
        if (line_has_words && line.size() + 1 + word.size() > width) {
            text += line + "\n";
            line = std::string(column, ' ');
            line_has_words = false;
        }
        line += (line_has_words ? " " : "") + word;
        line_has_words = true;
    }
    return text + line + "\n";
}

std::string options_lines(FrontEnd front_end)
{
    const Layout layout = layout_of(front_end);
    const std::vector<OptionRule>& rules = option_rules();
    const std::vector<OptionDoc> options = documented_options(front_end);
    std::string text;
    for (const OptionDoc& option : options) {
        const auto rule = std::find_if(rules.begin(), rules.end(), [&](const OptionRule& r) { return r.long_name == option.long_name; });
        const bool setting = !rule->setting_of.empty();
        const std::size_t column = front_end == FrontEnd::tool && setting ? layout.subordinate_column : layout.column;
        std::string head = label(option);
        head.resize(std::max(column, head.size() + 1), ' ');
        text += wrapped(head, option.help, column, layout.width);
    }
    return text;
}

// The items joined by ", ", with a line break and `indent` wherever a line would exceed `width`.
std::string joined(const std::vector<std::string>& items, std::size_t width, const std::string& indent)
{
    std::string text = indent;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string separator = i == 0 ? "" : ", ";
        if (i > 0 && text.size() - line_start + separator.size() + items[i].size() > width) {
            text += ",\n";
            line_start = text.size();
            text += indent + items[i];
        } else {
            text += separator + items[i];
        }
    }
    return text;
}

// "1 original", "2 greyscale", ... for every kind a job can save.
std::vector<std::string> kind_items()
{
    std::vector<std::string> items;
    for (int k = first_kind; k <= last_kind; ++k)
        items.push_back(std::to_string(k) + " " + Opsira::kind_names()[static_cast<std::size_t>(k)]);
    return items;
}

} // namespace

UsageError::UsageError(const std::string& what) : std::runtime_error(what) {}

UsageError::~UsageError() = default;

std::vector<Kind> parse_kinds(const std::string& list)
{
    std::vector<Kind> kinds;
    std::istringstream tokens(list);
    for (std::string token; std::getline(tokens, token, ',');) {
        if (!trimmed(token).empty())
            kinds.push_back(parse_kind(trimmed(token)));
    }
    if (kinds.empty())
        throw UsageError("no kinds given" + see_kinds);
    std::sort(kinds.begin(), kinds.end(), save_before);
    kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
    return kinds;
}

Options parse_options(const std::vector<std::string>& args)
{
    Parse parse;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            parse.options.inputs.insert(parse.options.inputs.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-')
            parse.options.inputs.push_back(arg);
        else if (arg[1] == '-')
            parse_long(parse, args, i);
        else
            parse_short(parse, args, i);
    }
    if (parse.kinds_given)
        parse.options.kinds = parse_kinds(parse.kind_list);
    settle_settings(parse);
    settle_page_step(parse, "orient", "upright", parse.orient_settings, parse.options.orient);
    settle_page_step(parse, "deskew", "levelled", parse.deskew_settings, parse.options.deskew);
    settle_page_step(parse, "crop", "cut", parse.crop_settings, parse.options.crop);
    return parse.options;
}

Job job_of(const Options& options)
{
    return {options.kinds, options.format, options.resume, options.deskew, options.orient, options.crop, options.render_dpi};
}

std::vector<OptionDoc> documented_options(FrontEnd front_end)
{
    std::vector<OptionDoc> options;
    for (const OptionRule& rule : option_rules()) {
        if (!documented_for(rule, front_end))
            continue;
        const bool own_text = front_end == FrontEnd::runner && !rule.runner_help.empty();
        options.push_back({rule.short_name, rule.long_name, rule.value_name, own_text ? rule.runner_help : rule.help});
    }
    return options;
}

std::string help_text(FrontEnd front_end, const std::string& head)
{
    return head + "\n" + options_lines(front_end) + "\nKinds, by name or number:\n" +
           joined(kind_items(), layout_of(front_end).width, "  ") +
           "\n\nExit status: 0 when every image was processed, 1 when an image failed, 2 for a usage error.\n";
}

std::string kinds_text()
{
    static const char* const descriptions[] = {
        "the image as read, in colour",
        "the original in one grey channel",
        "the original blurred with a 3 x 3 Gaussian kernel",
        "the blurred image in one grey channel",
        "each channel's darkest and brightest 0.5 % clipped, the rest stretched over 0 to 255",
        "the original with every colour inverted",
        "two-level mask: Otsu's, the triangle or the Gaussian adaptive one by foreground share",
        "the threshold mask eroded once with a 3 x 3 square",
        "the eroded mask dilated once (an opening)",
        "Canny edges of the threshold mask",
        "the outer contours of the edges drawn on the original and numbered",
        "the contours coloured by their group of similar areas",
        "a line plot of the histogram of each channel",
        "the Hough line segments of the threshold mask drawn in red",
        "the original turned by the dominant angle of the line segments",
        "every other image made, tiled and labelled",
        "difference of Gaussians (sigma 0.5 and 0.8) of the greyscale image",
        "Otsu's two-level mask of the blurred grey image",
        "the triangle method's two-level mask of the blurred grey image",
        "adaptive mask: each pixel against its Gaussian-weighted 5 x 5 mean minus 9",
        "adaptive mask: each pixel against its 5 x 5 mean minus 9",
        "two-level mask of a difference of Gaussians of the original",
    };
    std::string text;
    for (int k = first_kind; k <= last_kind; ++k) {
        char line[160];
        std::snprintf(line, sizeof line, "%2d %-24s %s\n", k, Opsira::kind_names()[static_cast<std::size_t>(k)].c_str(),
                      descriptions[k - first_kind]);
        text += line;
    }
    return text;
}

} // namespace tulo::pipeline
