// Source lines of `korbix/core/summarizer.pyx`: the lines that traceback
// entries and code objects show. Each function's first line is stated once,
// here, as the line after the previous function's body; each step is named
// and placed from its function's first line. A longer prompt or a longer
// function moves everything after it, and only its own span changes.
#pragma once

#include "prompt.hpp"
#include "record.hpp"

namespace korbix::summarizer::line {

// A Summary record written as a dict literal: one line per field, then the
// line that closes it.
inline constexpr int record_literal_lines = kRecordFieldCount + 1;
constexpr int record_literal_end(int opening) { return opening + record_literal_lines - 1; }

// The first line of a function whose predecessor's last line is `last`:
// top-level functions are two empty lines apart, methods one.
inline constexpr int gap_between_functions = 2;
inline constexpr int gap_between_methods = 1;
constexpr int following(int last, int gap) { return last + 1 + gap; }

// The exec step's own work, before the first statement of the source.
inline constexpr int module_setup = 1;

// Top-level statements, after the module docstring (its text, then the
// line of its closing quotes).
inline constexpr int docstring_end = 1 + count_lines(kModuleDoc);
inline constexpr int import_json = docstring_end + 4;
inline constexpr int import_logging = import_json + 1;
inline constexpr int import_time = import_json + 2;
inline constexpr int import_any = import_json + 3;
inline constexpr int logger = import_any + 2;
inline constexpr int prompt = logger + 3;  // SUMMARIZE_PROMPT = """...""": its text, then the closing line
inline constexpr int class_statement = prompt + count_lines(kSummarizePrompt) + 4;
inline constexpr int test_table = 1;

namespace init {
inline constexpr int first = class_statement + 3;
inline constexpr int store_client = first + 2;
}  // namespace init

namespace summarize_messages {
inline constexpr int first = following(init::store_client, gap_between_methods);
inline constexpr int empty_input = first + 15;
inline constexpr int transcript = first + 18;
inline constexpr int prompt_list = first + 20;
inline constexpr int previous_summary = first + 24;
inline constexpr int conversation = first + 27;
inline constexpr int call = first + 30;
inline constexpr int request_list = first + 31;
inline constexpr int system_message = first + 32;
inline constexpr int user_message = first + 33;
inline constexpr int content_test = first + 39;
inline constexpr int parse = first + 40;
inline constexpr int empty_warning = first + 42;
inline constexpr int empty_fallback = first + 43;
inline constexpr int failure_log = first + 46;
inline constexpr int failure_fallback = first + 47;
}  // namespace summarize_messages

namespace format_summary_for_context {
inline constexpr int first = following(summarize_messages::failure_fallback, gap_between_methods);
inline constexpr int banner = first + 2;
inline constexpr int note = first + 3;

// A list section: `if summary.get(key):`, the heading, `for item in ...:`,
// the bullet, and the blank part, followed by an empty line.
struct ListSection {
    int test, heading, loop, bullet, blank;
    int end;  // the line after the section
};
constexpr ListSection list_section(int test) { return {test, test + 1, test + 2, test + 3, test + 4, test + 6}; }

// A text section: `if summary.get(key):` and the one line that adds it.
struct TextSection {
    int test, text;
    int end;
};
constexpr TextSection text_section(int test) { return {test, test + 1, test + 3}; }

inline constexpr ListSection goals = list_section(first + 5);
inline constexpr ListSection progress = list_section(goals.end);
inline constexpr TextSection current_state = text_section(progress.end);
inline constexpr ListSection key_decisions = list_section(current_state.end);
inline constexpr ListSection key_facts = list_section(key_decisions.end);
inline constexpr ListSection blockers = list_section(key_facts.end);
inline constexpr ListSection next_steps = list_section(blockers.end);
inline constexpr TextSection summary = text_section(next_steps.end);
inline constexpr int join = summary.end;
}  // namespace format_summary_for_context

namespace format_messages_for_summary {
inline constexpr int first = following(format_summary_for_context::join, gap_between_functions);
inline constexpr int get_role = first + 4;
inline constexpr int get_content = first + 5;
inline constexpr int is_system = first + 7;
inline constexpr int is_tool = first + 10;
inline constexpr int get_tool_id = first + 12;
inline constexpr int measure_result = first + 13;
inline constexpr int cut_result = first + 14;
inline constexpr int tool_line = first + 15;
inline constexpr int is_assistant = first + 16;
inline constexpr int test_content = first + 17;
inline constexpr int assistant_line = first + 18;
inline constexpr int test_tool_calls = first + 19;
inline constexpr int loop_tool_calls = first + 20;
inline constexpr int is_dict_call = first + 21;
inline constexpr int get_name = first + 22;
inline constexpr int get_arguments = first + 23;
inline constexpr int is_text_arguments = first + 24;
inline constexpr int loads = first + 26;
inline constexpr int except_decode_error = first + 27;
inline constexpr int is_dict_arguments = first + 30;
inline constexpr int call_line = first + 31;
inline constexpr int is_user = first + 32;
inline constexpr int user_line = first + 33;
inline constexpr int join = first + 35;
}  // namespace format_messages_for_summary

namespace brief_args {
inline constexpr int first = following(format_messages_for_summary::join, gap_between_functions);
inline constexpr int loop = first + 3;
inline constexpr int str_value = first + 4;
inline constexpr int measure_value = first + 5;
inline constexpr int cut_value = first + 6;
inline constexpr int part = first + 7;
inline constexpr int join = first + 8;
}  // namespace brief_args

namespace parse_summary {
inline constexpr int first = following(brief_args::join, gap_between_functions);
inline constexpr int strip = first + 3;
inline constexpr int split = first + 7;
inline constexpr int loop = first + 15;
inline constexpr int join_block = first + 19;
inline constexpr int loads = first + 22;
inline constexpr int record = first + 25;  // the record of a decoded answer
inline constexpr int except_decode_error = record + record_literal_lines;
inline constexpr int warning = except_decode_error + 1;
inline constexpr int unparsable_record = except_decode_error + 3;
}  // namespace parse_summary

namespace empty_summary {
inline constexpr int first = following(record_literal_end(parse_summary::unparsable_record), gap_between_functions);
inline constexpr int record = first + 2;
}  // namespace empty_summary

namespace fallback_summary {
inline constexpr int first = following(record_literal_end(empty_summary::record), gap_between_functions);
inline constexpr int goals = first + 2;
inline constexpr int progress = first + 3;
inline constexpr int test_message = first + 6;
inline constexpr int get_content = first + 7;
inline constexpr int measure_content = first + 8;
inline constexpr int cut_content = first + 9;
inline constexpr int append = first + 10;
inline constexpr int first_goal = first + 14;
inline constexpr int record = first + 17;
}  // namespace fallback_summary

}  // namespace korbix::summarizer::line
