// Module definition and start-up: the entry point, the create and exec steps,
// and the module body that binds the namespace.
#include <Python.h>

#include <cstdint>

#include "../runtime/coroutine.hpp"
#include "../runtime/errors.hpp"
#include "../runtime/function.hpp"
#include "../runtime/traceback.hpp"
#include "constants.hpp"
#include "logic.hpp"
#include "state.hpp"

namespace korbix::summarizer {
namespace {

using rt::ArgType;
using rt::FunctionDef;
using rt::Param;
using rt::Ref;
using rt::Signature;

// ---- constant texts --------------------------------------------------------

const char kModuleDoc[] =
    "Conversation summarizer \u2014 compresses old messages into concise summaries.\n"
    "\n"
    "When a conversation grows beyond the context window, the summarizer:\n"
    "1. Takes the oldest messages that would be dropped\n"
    "2. Sends them to the LLM for summarization\n"
    "3. Extracts key goals, decisions, facts, and progress\n"
    "4. Returns a structured summary that replaces the raw messages\n"
    "\n"
    "This keeps the agent aware of its goals and progress even across\n"
    "very long conversations that exceed the context window.\n";

const Text kSummarizePrompt{
    "You are a conversation summarizer for an AI agent called Korbix.\n"
    "Your job is to compress a chunk of conversation into a concise summary\n"
    "that preserves ALL critical information the agent needs to continue working.\n"
    "\n"
    "You MUST extract and preserve:\n"
    "1. **GOALS**: What the user originally asked for (the top-level objective)\n"
    "2. **PROGRESS**: What steps have been completed so far\n"
    "3. **CURRENT STATE**: What the agent was working on when this chunk ended\n"
    "4. **KEY DECISIONS**: Important choices made (e.g., which approach to use)\n"
    "5. **KEY FACTS**: Technical details, file paths, URLs, credentials, names, etc.\n"
    "6. **BLOCKERS**: Any issues encountered and how they were resolved (or not)\n"
    "7. **NEXT STEPS**: What the agent planned to do next\n"
    "\n"
    "Return your summary as a JSON object with this exact structure:\n"
    "{\n"
    "  \"goals\": [\"Primary goal 1\", \"Sub-goal 2\"],\n"
    "  \"progress\": [\"Step 1 completed: did X\", \"Step 2 completed: did Y\"],\n"
    "  \"current_state\": \"Brief description of where things stand\",\n"
    "  \"key_decisions\": [\"Decided to use approach A because...\"],\n"
    "  \"key_facts\": [\"File is at /path/to/file\", \"User's name is X\"],\n"
    "  \"blockers\": [\"Issue with X was resolved by Y\"],\n"
    "  \"next_steps\": [\"Need to do A\", \"Then do B\"],\n"
    "  \"summary\": \"One paragraph narrative summary of the entire conversation chunk\"\n"
    "}\n"
    "\n"
    "Be thorough but concise. Every piece of information that the agent might\n"
    "need to continue its work MUST be preserved. Do NOT lose any goals,\n"
    "file paths, technical details, or user preferences.\n"};

const Text kModuleName{"korbix.core.summarizer"};
const Text kJson{"json"};
const Text kLogging{"logging"};
const Text kTime{"time"};
const Text kTyping{"typing"};
const Text kAny{"Any"};
const Text kLogger{"logger"};
const Text kGetLogger{"getLogger"};
const Text kLoggerName{"korbix.summarizer"};
const Text kPromptName{"SUMMARIZE_PROMPT"};
const Text kBuiltinsName{"builtins"};
const Text kDunderBuiltins{"__builtins__"};
const Text kDunderModule{"__module__"};
const Text kDunderQualname{"__qualname__"};
const Text kDunderDoc{"__doc__"};
const Text kDunderTest{"__test__"};
const Text kClassName{"ConversationSummarizer"};
const Text kClassDoc{"Summarizes conversation chunks to compress context."};
const Text kReplace{"replace"};
const Text kCoArgcount{"co_argcount"};
const Text kCoNlocals{"co_nlocals"};
const Text kCoVarnames{"co_varnames"};
const Text kCoFlags{"co_flags"};

// Annotation texts.
const Text kAnnAny{"Any"};
const Text kAnnMessages{"list[dict[str, Any]]"};
const Text kAnnOptionalStr{"str | None"};
const Text kAnnRecord{"dict[str, Any]"};
const Text kAnnStr{"str"};
const Text kAnnDict{"dict"};
const Text kReturn{"return"};

// ---- the eight functions ---------------------------------------------------

constexpr Param kInitParams[] = {{"self", ArgType::Any, false}, {"llm_client", ArgType::Any, false}};
constexpr Param kSummarizeParams[] = {{"self", ArgType::Any, false},
                                      {"messages", ArgType::ExactList, false},
                                      {"existing_summary", ArgType::ExactStrOrNone, true}};
constexpr Param kContextParams[] = {{"self", ArgType::Any, false}, {"summary", ArgType::ExactDict, false}};
constexpr Param kMessagesParam[] = {{"messages", ArgType::ExactList, false}};
constexpr Param kArgsParam[] = {{"args", ArgType::ExactDict, false}};
constexpr Param kTextParam[] = {{"text", ArgType::ExactStr, false}};

constexpr Signature kInitSignature{"__init__", kTracebackInit, 58, kInitParams, 2, true};
constexpr Signature kSummarizeSignature{"summarize_messages", kTracebackSummarizeMessages, 62, kSummarizeParams, 3,
                                        true};
constexpr Signature kContextSignature{"format_summary_for_context", kTracebackFormatSummaryForContext, 111,
                                      kContextParams, 2, true};
constexpr Signature kFormatMessagesSignature{"_format_messages_for_summary", kTracebackFormatMessages, 161,
                                             kMessagesParam, 1, true};
constexpr Signature kBriefArgsSignature{"_brief_args", kTracebackBriefArgs, 199, kArgsParam, 1, true};
constexpr Signature kParseSignature{"_parse_summary", kTracebackParseSummary, 210, kTextParam, 1, true};
constexpr Signature kEmptySignature{"_empty_summary", kTracebackEmptySummary, 260, nullptr, 0, false};
constexpr Signature kFallbackSignature{"_fallback_summary", kTracebackFallbackSummary, 274, kMessagesParam, 1, true};

constexpr FunctionDef kInitDef{&kInitSignature, summarizer_init, false};
constexpr FunctionDef kSummarizeDef{&kSummarizeSignature, summarize_messages, true};
constexpr FunctionDef kContextDef{&kContextSignature, format_summary_for_context, false};
constexpr FunctionDef kFormatMessagesDef{&kFormatMessagesSignature, format_messages_for_summary, false};
constexpr FunctionDef kBriefArgsDef{&kBriefArgsSignature, brief_args, false};
constexpr FunctionDef kParseDef{&kParseSignature, parse_summary, false};
constexpr FunctionDef kEmptyDef{&kEmptySignature, empty_summary, false};
constexpr FunctionDef kFallbackDef{&kFallbackSignature, fallback_summary, false};

// What the exec step needs to make one function object and its code object.
struct FunctionSource {
    const FunctionDef* def;
    const Text* name;
    const Text* qualname;
    const Text* doc;  // nullptr: no docstring
    PyObject* ModuleState::* code;
    int argcount;
    int flags;
    int first_line;
    const char* const* varnames;
    int varname_count;
    // Annotation pairs (parameter or "return", annotation text), in order.
    const Text* const* annotations;
    int annotation_count;
};

const Text kNameInit{"__init__"};
const Text kQualInit{"ConversationSummarizer.__init__"};
const Text kDocInit{"Initialize with an LLMClient instance."};
const Text kNameSummarize{"summarize_messages"};
const Text kQualSummarize{"ConversationSummarizer.summarize_messages"};
const Text kDocSummarize{
    "Summarize a list of messages into a structured summary.\n"
    "\n"
    "        Args:\n"
    "            messages: The messages to summarize (in chronological order)\n"
    "            existing_summary: If provided, the new summary should build on this\n"
    "\n"
    "        Returns:\n"
    "            A structured summary dict with goals, progress, etc.\n"
    "        "};
const Text kNameContext{"format_summary_for_context"};
const Text kQualContext{"ConversationSummarizer.format_summary_for_context"};
const Text kDocContext{"Format a structured summary as readable text for the system prompt."};
const Text kNameFormatMessages{"_format_messages_for_summary"};
const Text kDocFormatMessages{"Convert messages to a readable text format for the summarizer."};
const Text kNameBriefArgs{"_brief_args"};
const Text kDocBriefArgs{"Create a brief summary of tool arguments."};
const Text kNameParse{"_parse_summary"};
const Text kDocParse{"Parse the LLM's JSON response into a summary dict."};
const Text kNameEmpty{"_empty_summary"};
const Text kNameFallback{"_fallback_summary"};
const Text kDocFallback{"Create a basic summary without LLM when summarization fails."};

const Text kParamLlmClient{"llm_client"};
const Text kParamMessages{"messages"};
const Text kParamExistingSummary{"existing_summary"};
const Text kParamSummary{"summary"};
const Text kParamArgs{"args"};
const Text kParamText{"text"};

constexpr int kFlagsPlain = 0x3;       // CO_OPTIMIZED | CO_NEWLOCALS
constexpr int kFlagsCoroutine = 0x83;  // ... | CO_COROUTINE

constexpr const char* kVarsInit[] = {"self", "llm_client"};
constexpr const char* kVarsSummarize[] = {"self", "messages", "existing_summary", "conv_text",
                                          "prompt_parts", "response", "e"};
constexpr const char* kVarsContext[] = {"self", "summary", "parts", "g", "p", "d", "f", "b", "n"};
constexpr const char* kVarsFormatMessages[] = {"messages", "lines", "msg", "role", "content",
                                               "tool_id", "tc", "name", "args", "args_brief"};
constexpr const char* kVarsBriefArgs[] = {"args", "parts", "k", "v", "val_str"};
constexpr const char* kVarsParse[] = {"text", "lines", "json_lines", "in_block", "line", "data"};
constexpr const char* kVarsFallback[] = {"messages", "goals", "progress", "msg", "content"};

const Text* const kAnnotationsInit[] = {&kParamLlmClient, &kAnnAny};
const Text* const kAnnotationsSummarize[] = {&kParamMessages, &kAnnMessages, &kParamExistingSummary,
                                             &kAnnOptionalStr, &kReturn,       &kAnnRecord};
const Text* const kAnnotationsContext[] = {&kParamSummary, &kAnnRecord, &kReturn, &kAnnStr};
const Text* const kAnnotationsFormatMessages[] = {&kParamMessages, &kAnnMessages, &kReturn, &kAnnStr};
const Text* const kAnnotationsBriefArgs[] = {&kParamArgs, &kAnnDict, &kReturn, &kAnnStr};
const Text* const kAnnotationsParse[] = {&kParamText, &kAnnStr, &kReturn, &kAnnRecord};
const Text* const kAnnotationsEmpty[] = {&kReturn, &kAnnRecord};
const Text* const kAnnotationsFallback[] = {&kParamMessages, &kAnnMessages, &kReturn, &kAnnRecord};

template <class T, int N>
constexpr int count_of(T (&)[N]) {
    return N;
}

const FunctionSource kInitSource{&kInitDef, &kNameInit, &kQualInit, &kDocInit, &ModuleState::code_init, 2,
                                 kFlagsPlain, 58, kVarsInit, count_of(kVarsInit), kAnnotationsInit,
                                 count_of(kAnnotationsInit)};
const FunctionSource kSummarizeSource{&kSummarizeDef, &kNameSummarize, &kQualSummarize, &kDocSummarize,
                                      &ModuleState::code_summarize_messages, 3, kFlagsCoroutine, 62,
                                      kVarsSummarize, count_of(kVarsSummarize), kAnnotationsSummarize,
                                      count_of(kAnnotationsSummarize)};
const FunctionSource kContextSource{&kContextDef, &kNameContext, &kQualContext, &kDocContext,
                                    &ModuleState::code_format_summary_for_context, 2, kFlagsPlain, 111, kVarsContext,
                                    count_of(kVarsContext), kAnnotationsContext, count_of(kAnnotationsContext)};
const FunctionSource kFormatMessagesSource{&kFormatMessagesDef, &kNameFormatMessages, &kNameFormatMessages,
                                           &kDocFormatMessages, &ModuleState::code_format_messages_for_summary, 1,
                                           kFlagsPlain, 161, kVarsFormatMessages, count_of(kVarsFormatMessages),
                                           kAnnotationsFormatMessages, count_of(kAnnotationsFormatMessages)};
const FunctionSource kBriefArgsSource{&kBriefArgsDef, &kNameBriefArgs, &kNameBriefArgs, &kDocBriefArgs,
                                      &ModuleState::code_brief_args, 1, kFlagsPlain, 199, kVarsBriefArgs,
                                      count_of(kVarsBriefArgs), kAnnotationsBriefArgs, count_of(kAnnotationsBriefArgs)};
const FunctionSource kParseSource{&kParseDef, &kNameParse, &kNameParse, &kDocParse, &ModuleState::code_parse_summary,
                                  1, kFlagsPlain, 210, kVarsParse, count_of(kVarsParse), kAnnotationsParse,
                                  count_of(kAnnotationsParse)};
const FunctionSource kEmptySource{&kEmptyDef, &kNameEmpty, &kNameEmpty, nullptr, &ModuleState::code_empty_summary, 0,
                                  kFlagsPlain, 260, nullptr, 0, kAnnotationsEmpty, count_of(kAnnotationsEmpty)};
const FunctionSource kFallbackSource{&kFallbackDef, &kNameFallback, &kNameFallback, &kDocFallback,
                                     &ModuleState::code_fallback_summary, 1, kFlagsPlain, 274, kVarsFallback,
                                     count_of(kVarsFallback), kAnnotationsFallback, count_of(kAnnotationsFallback)};

const FunctionSource* const kAllSources[] = {&kInitSource,   &kSummarizeSource, &kContextSource,
                                             &kFormatMessagesSource, &kBriefArgsSource, &kParseSource,
                                             &kEmptySource,  &kFallbackSource};

// ---- process-wide records --------------------------------------------------

int64_t g_owning_interpreter = -1;
PyObject* g_remembered_module = nullptr;  // strong reference

constexpr rt::Site kInit{"init korbix.core.summarizer"};

// The code object that describes one function; never executed.
Ref make_code_object(const FunctionSource& source) {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(rt::kSourceFile, PyUnicode_AsUTF8(source.name->get()), source.first_line)));
    if (!empty) return {};
    Ref varnames = Ref::steal(PyTuple_New(source.varname_count));
    if (!varnames) return {};
    for (int i = 0; i < source.varname_count; ++i) {
        PyObject* name = PyUnicode_InternFromString(source.varnames[i]);
        if (name == nullptr) return {};
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    Ref argcount = Ref::steal(PyLong_FromLong(source.argcount));
    Ref nlocals = Ref::steal(PyLong_FromLong(source.varname_count));
    Ref flags = Ref::steal(PyLong_FromLong(source.flags));
    Ref keywords = Ref::steal(PyTuple_Pack(4, kCoArgcount.get(), kCoNlocals.get(), kCoVarnames.get(), kCoFlags.get()));
    if (!argcount || !nlocals || !flags || !keywords) return {};
    PyObject* args[] = {empty.get(), argcount.get(), nlocals.get(), varnames.get(), flags.get()};
    return Ref::steal(PyObject_VectorcallMethod(kReplace.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                keywords.get()));
}

bool make_code_objects() {
    ModuleState& module_state = state();
    for (const FunctionSource* source : kAllSources) {
        if (module_state.*(source->code) != nullptr) continue;
        Ref code = make_code_object(*source);
        if (!code) return false;
        module_state.*(source->code) = code.release();
    }
    return true;
}

bool make_numbers() {
    ModuleState& module_state = state();
    if (module_state.temperature == nullptr) module_state.temperature = PyFloat_FromDouble(0.2);
    if (module_state.max_tokens == nullptr) module_state.max_tokens = PyLong_FromLong(2048);
    if (module_state.summarize_defaults == nullptr) module_state.summarize_defaults = PyTuple_Pack(1, Py_None);
    return module_state.temperature != nullptr && module_state.max_tokens != nullptr &&
           module_state.summarize_defaults != nullptr;
}

// Makes one function object with its annotations (and defaults, for the one
// function that has any), at the source line of its definition.
Ref make_function(const FunctionSource& source, PyObject* globals) {
    const int line = source.first_line;
    Ref annotations = kInit.at(line, PyDict_New());
    for (int i = 0; i + 1 < source.annotation_count; i += 2) {
        kInit.status(line, PyDict_SetItem(annotations.get(), source.annotations[i]->get(),
                                          source.annotations[i + 1]->get()));
    }
    Ref function = kInit.at(line, rt::new_function(*source.def, source.name->get(), source.qualname->get(),
                                                   kModuleName.get(), source.doc ? source.doc->get() : nullptr,
                                                   globals, state().*(source.code)));
    if (source.def->is_coroutine) rt::function_set_defaults(function.get(), state().summarize_defaults);
    rt::function_set_annotations(function.get(), annotations.get());
    return function;
}

// `import name`: the entry of sys.modules when there is one, else the import system.
Ref import_module(PyObject* name, PyObject* globals, PyObject* from_list) {
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (module && module.get() != Py_None) return module;
    if (!module && PyErr_Occurred()) return {};
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), from_list, 0));
}

// `from typing import Any`.
Ref import_any(PyObject* globals) {
    Ref typing = Ref::steal(PyImport_GetModule(kTyping.get()));
    if (!typing && PyErr_Occurred()) return {};
    if (typing && typing.get() != Py_None) {
        PyObject* any = nullptr;
        const int found = PyObject_GetOptionalAttr(typing.get(), kAny.get(), &any);
        if (found < 0) return {};
        if (found > 0) return Ref::steal(any);
    }
    Ref from_list = Ref::steal(PyList_New(1));
    if (!from_list) return {};
    PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(kAny.get()));
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    typing = Ref::steal(PyImport_ImportModuleLevelObject(kTyping.get(), globals, locals.get(), from_list.get(), 0));
    if (!typing) return {};
    PyObject* any = nullptr;
    const int found = PyObject_GetOptionalAttr(typing.get(), kAny.get(), &any);
    if (found < 0) return {};
    if (found > 0) return Ref::steal(any);
    // A submodule of that name, as `from package import name` would find it.
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", kTyping.get(), kAny.get()));
    if (!full_name) return {};
    Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
    if (submodule) return submodule;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", kAny.get());
    return {};
}

void check_runtime_version() {
    const unsigned long major = (Py_Version >> 24) & 0xff;
    const unsigned long minor = (Py_Version >> 16) & 0xff;
    if (major == 3 && minor == 13) return;
    rt::check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                               "korbix.core.summarizer", "does not match", static_cast<int>(major),
                               static_cast<int>(minor)));
}

// The module body, from exec step 3 on. Throws PythonError on failure.
// `registered` tells whether the body added the module to sys.modules under
// the module name itself (it was loaded under another name).
void run_module_body(PyObject* module, bool& registered) {
    ModuleState& module_state = state();
    PyObject* globals = PyModule_GetDict(module);
    if (globals == nullptr) throw rt::PythonError{};
    module_state.globals = globals;
    rt::set_traceback_globals(globals);
    if (module_state.builtins == nullptr) {
        module_state.builtins = PyImport_ImportModule("builtins");
        if (module_state.builtins == nullptr) throw rt::PythonError{};
    }
    rt::check(PyObject_SetAttrString(module, "__builtins__", module_state.builtins));

    check_runtime_version();
    if (!make_constant_texts()) throw rt::PythonError{};

    kInit.status(1, rt::function_type_ready() && rt::coroutine_types_ready() ? 0 : -1);
    {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* existing = nullptr;
        registered = kInit.status(1, PyDict_SetDefaultRef(modules, kModuleName.get(), module, &existing)) == 0;
        Py_XDECREF(existing);
    }
    kInit.status(1, make_numbers() && make_code_objects() ? 0 : -1);
    kInit.status(1, summarize_types_ready() ? 0 : -1);

    kInit.status(15, PyDict_SetItem(globals, kJson.get(), kInit.at(15, import_module(kJson.get(), globals, nullptr)).get()));
    kInit.status(16, PyDict_SetItem(globals, kLogging.get(),
                                    kInit.at(16, import_module(kLogging.get(), globals, nullptr)).get()));
    kInit.status(17, PyDict_SetItem(globals, kTime.get(), kInit.at(17, import_module(kTime.get(), globals, nullptr)).get()));
    kInit.status(18, PyDict_SetItem(globals, kAny.get(), kInit.at(18, import_any(globals)).get()));
    {
        Ref logging = kInit.at(20, lookup_global(kLogging.get()));
        Ref get_logger = kInit.at(20, PyObject_GetAttr(logging.get(), kGetLogger.get()));
        Ref logger = kInit.at(20, PyObject_CallOneArg(get_logger.get(), kLoggerName.get()));
        kInit.status(20, PyDict_SetItem(globals, kLogger.get(), logger.get()));
    }
    kInit.status(23, PyDict_SetItem(globals, kPromptName.get(), kSummarizePrompt.get()));

    Ref class_namespace = kInit.at(55, PyDict_New());
    kInit.status(55, PyDict_SetItem(class_namespace.get(), kDunderModule.get(), kModuleName.get()));
    kInit.status(55, PyDict_SetItem(class_namespace.get(), kDunderQualname.get(), kClassName.get()));
    kInit.status(55, PyDict_SetItem(class_namespace.get(), kDunderDoc.get(), kClassDoc.get()));
    for (const FunctionSource* method : {&kInitSource, &kSummarizeSource, &kContextSource}) {
        Ref function = make_function(*method, globals);
        kInit.status(method->first_line, PyDict_SetItem(class_namespace.get(), method->name->get(), function.get()));
    }
    {
        Ref bases = kInit.at(55, PyTuple_New(0));
        PyObject* type_args[] = {kClassName.get(), bases.get(), class_namespace.get()};
        Ref cls = kInit.at(55, PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3, nullptr));
        kInit.status(55, PyDict_SetItem(globals, kClassName.get(), cls.get()));
    }
    for (const FunctionSource* source :
         {&kFormatMessagesSource, &kBriefArgsSource, &kParseSource, &kEmptySource, &kFallbackSource}) {
        Ref function = make_function(*source, globals);
        kInit.status(source->first_line, PyDict_SetItem(globals, source->name->get(), function.get()));
    }
    Ref test_table = kInit.at(1, PyDict_New());
    kInit.status(1, PyDict_SetItem(globals, kDunderTest.get(), test_table.get()));
}

// ---- create and exec steps -------------------------------------------------

// Copies one attribute of the spec into the module namespace; a missing
// attribute is skipped, any other error fails.
bool copy_spec_attribute(PyObject* spec, const char* from, PyObject* globals, const char* to, bool skip_none) {
    PyObject* value = nullptr;
    const int found = PyObject_GetOptionalAttrString(spec, from, &value);
    if (found < 0) return false;
    if (found == 0) return true;
    Ref owned = Ref::steal(value);
    if (skip_none && value == Py_None) return true;
    return PyDict_SetItemString(globals, to, value) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1 && PyErr_Occurred()) return nullptr;
    if (g_owning_interpreter == -1) {
        g_owning_interpreter = interpreter;
    } else if (g_owning_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g_remembered_module != nullptr) return Py_NewRef(g_remembered_module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* globals = PyModule_GetDict(module.get());
    if (globals == nullptr) return nullptr;
    if (!copy_spec_attribute(spec, "loader", globals, "__loader__", false) ||
        !copy_spec_attribute(spec, "origin", globals, "__file__", false) ||
        !copy_spec_attribute(spec, "parent", globals, "__package__", false) ||
        !copy_spec_attribute(spec, "submodule_search_locations", globals, "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

// Takes out the sys.modules entry that a failed exec step added under the
// module name, so that a later import does not find the half-built module
// there; an entry that was replaced meanwhile is left alone. The pending
// exception stays as it is.
void unregister_module(PyObject* module) noexcept {
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = nullptr;
    const int status = PyDict_GetItemRef(modules, kModuleName.get(), &found);
    Ref entry = Ref::steal(found);
    if (status > 0 && entry.get() == module) (void)PyDict_DelItem(modules, kModuleName.get());
    PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
}

int module_exec(PyObject* module) noexcept {
    if (g_remembered_module != nullptr) {
        if (g_remembered_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'summarizer' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_remembered_module = Py_NewRef(module);
    bool registered = false;
    const int status = rt::boundary_status([&] {
        run_module_body(module, registered);
        return 0;
    });
    if (status < 0) {
        // A later import runs the whole body again on a new module object.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init korbix.core.summarizer");
        if (registered) unregister_module(module);
        Py_CLEAR(g_remembered_module);
    }
    return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "summarizer",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace korbix::summarizer

extern "C" PyMODINIT_FUNC PyInit_summarizer(void) { return PyModuleDef_Init(&korbix::summarizer::module_def); }
