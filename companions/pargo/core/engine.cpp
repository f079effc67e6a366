// The parse machine: runs a compiled grammar over a text as a backtracking PEG interpreter.
// Nodes are appended to one growable array in post-order (children before their parent), so
// that @lift and @fold cost nothing: a lifted rule simply appends no node, a fold appends a
// node over everything made so far. Backtracking truncates the array. When the parse is done
// the array is turned into pre-order in one linear pass (a node's pre-order index is its
// subtree's first post-order index plus its depth). The machine keeps the farthest failure and
// what was expected there for error messages, and, when recovering, turns failed iterations of
// the repetitions of @recover rules into error nodes. It uses no Python and allocates with the
// C allocator, reporting exhaustion as a status.
//
// Two shortcuts make a first run fast: alternatives and iterations that cannot start with the
// next byte are passed over (predict.h), and rule results inside lookaheads are cached by
// position. Neither changes what matches, only which failures get recorded, so a run that
// meets any syntax error is done again without them, for exact messages and recovery.
#include "core/engine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/grammar.h"

namespace engine {
namespace {

using grammar::Expr;
using grammar::Op;
using tree::Node;

// Growable array of plain records on the C allocator.
template <class T>
struct PodVec {
  T* data = nullptr;
  size_t size = 0, cap = 0;
  bool push(const T& v) {
    if (size == cap && !grow(size + 1)) return false;
    data[size++] = v;
    return true;
  }
  bool grow(size_t need) {
    size_t c = cap ? cap * 2 : 256;
    while (c < need) c *= 2;
    T* d = static_cast<T*>(std::realloc(data, c * sizeof(T)));
    if (!d) return false;
    data = d;
    cap = c;
    return true;
  }
  T* release() {
    T* d = data;
    data = nullptr;
    size = cap = 0;
    return d;
  }
  ~PodVec() { std::free(data); }
};

constexpr uint32_t noItem = 0xFFFFFFFF;
constexpr uint32_t tokenItem = 0x80000000;  // | rule index
constexpr uint32_t endItem = 0x7FFFFFFF;    // "end of input"

struct Snap {
  uint32_t pos, lastEnd;
  size_t nodes, errors;
};

struct Machine {
  const grammar::Grammar& g;
  const unsigned char* t;
  uint32_t n;
  bool recover;
  uint32_t errorKind;
  bool predict;  // pass over what cannot start at the next byte (see predict.h)

  uint32_t pos = 0;
  uint32_t lastEnd = 0;  // end of the last byte consumed by something other than skipping
  uint32_t reach = 0;    // farthest lastEnd in the current recovering attempt
  PodVec<Node> nodes;
  PodVec<tree::ErrorRecord> errors;

  bool haveFail = false;
  uint32_t farthest = 0;
  PodVec<uint32_t> expected;

  int quiet = 0;      // inside lookahead, tokens and skipping: failures are not recorded
  int lexical = 0;    // inside tokens and skipping: no skipping, no nodes
  int looking = 0;    // inside lookahead: rule results go through the memo
  uint32_t depth = 0;   // rule calls
  uint32_t frames = 0;  // expressions being matched, rule calls included
  bool fatal = false;  // nesting too deep, or out of memory: stop everything
  bool oom = false;
  bool deep = false;   // nesting too deep, at deepAt
  uint32_t deepAt = 0;
  bool recovered = false;  // an error was recorded, even one that backtracking dropped later
  uint32_t skipFrom = noItem, skipTo = 0;  // the last skip: from where to where
  struct MemoEntry;
  MemoEntry* memo = nullptr;

  // Line counting cache for error positions.
  uint32_t lcOffset = 0, lcLine = 1, lcLineStart = 0;

  ~Machine() { std::free(memo); }

  Snap save() const { return {pos, lastEnd, nodes.size, errors.size}; }
  // The first error recorded in a failed attempt and dropped with it by backtracking: the
  // recovering repetition around the attempt reports it (see repeat).
  tree::ErrorRecord dropped;
  bool haveDropped = false;

  void restore(const Snap& s) {
    if (errors.size > s.errors && !haveDropped) {
      dropped = errors.data[s.errors];
      haveDropped = true;
    }
    pos = s.pos;
    lastEnd = s.lastEnd;
    nodes.size = s.nodes;
    errors.size = s.errors;
  }

  void fail(uint32_t item) {
    if (quiet) return;
    if (!haveFail || pos > farthest) {
      haveFail = true;
      farthest = pos;
      expected.size = 0;
    }
    if (pos != farthest || item == noItem) return;
    for (size_t i = 0; i < expected.size; i++)
      if (expected.data[i] == item) return;
    if (!expected.push(item)) outOfMemory();
  }

  void outOfMemory() {
    oom = true;
    fatal = true;
  }

  void skip() {
    if (g.skipRule < 0 || lexical) return;
    if (pos == skipFrom) {
      pos = skipTo;
      return;
    }
    uint32_t from = pos, keepEnd = lastEnd, keepReach = reach;
    size_t keepNodes = nodes.size, keepErrors = errors.size;
    lexical++;
    quiet++;
    while (pos < n) {
      uint32_t before = pos;
      if (!match(g.rules[g.skipRule].body) || pos == before) {
        pos = before;
        break;
      }
    }
    quiet--;
    lexical--;
    lastEnd = keepEnd;  // skipped bytes are neither part of a node nor progress
    reach = keepReach;
    nodes.size = keepNodes;
    errors.size = keepErrors;
    skipFrom = from;
    skipTo = pos;
  }

  // Whether e can start here. Passing over an expression that cannot also passes over the
  // failures it would record, so error messages come from a parse without prediction.
  bool viable(uint32_t e) {
    if (!predict) return true;
    const predict::Start& st = lexical ? g.startLexical[e] : g.startSyntactic[e];
    if (st.transparent) return true;
    if (pos < n && st.raw.has(t[pos])) return true;
    if (st.skipped.empty()) return false;
    uint32_t keep = pos;
    skip();
    uint32_t after = pos;
    pos = keep;
    return after < n && st.skipped.has(t[after]);
  }

  // One UTF-8 code point at pos: its value and length; a byte that does not start a valid
  // sequence counts as one code point of its own (U+DC80..U+DCFF, never a real character).
  uint32_t codePoint(uint32_t* len) const {
    unsigned char c = t[pos];
    if (c < 0x80) {
      *len = 1;
      return c;
    }
    int k = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (k && pos + k <= n) {
      uint32_t v = k == 2 ? (c & 0x1F) : k == 3 ? (c & 0x0F) : (c & 0x07);
      bool ok = true;
      for (int i = 1; i < k; i++) {
        unsigned char d = t[pos + i];
        if ((d & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        v = (v << 6) | (d & 0x3F);
      }
      if (ok) {
        *len = k;
        return v;
      }
    }
    *len = 1;
    return 0xDC00 + c;
  }

  void consumed() {
    lastEnd = pos;
    if (pos > reach) reach = pos;
  }

  static bool wordByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }

  bool literal(uint32_t index) {
    skip();
    const std::string& s = g.literals[index];
    size_t len = s.size();
    if (n - pos >= len && (len == 0 || t[pos] == (unsigned char)s[0]) && std::memcmp(t + pos, s.data(), len) == 0 &&
        !(g.literalWordEnd[index] && pos + len < n && wordByte(t[pos + len]))) {
      pos += uint32_t(len);
      consumed();
      return true;
    }
    fail(index);
    return false;
  }

  // The top-level nodes of nodes[from, size): walk back from the last one.
  template <class F>
  void eachTop(size_t from, F f) {
    size_t j = nodes.size;
    while (j > from) {
      j--;
      f(nodes.data[j]);
      j -= nodes.data[j].descendants;
    }
  }

  size_t countTop(size_t from, size_t* last) {
    size_t c = 0, j = nodes.size;
    while (j > from) {
      j--;
      if (c == 0) *last = j;
      c++;
      j -= nodes.data[j].descendants;
    }
    return c;
  }

  bool pushNode(uint32_t start, uint32_t end, size_t from, uint32_t kind) {
    Node nd{start, end, uint32_t(nodes.size - from), tree::makeWord(kind, 0)};
    if (!nodes.push(nd)) {
      outOfMemory();
      return false;
    }
    return true;
  }

  uint32_t endFrom(uint32_t start) const { return lastEnd < start ? start : lastEnd; }

  bool call(uint32_t r) {
    if (fatal) return false;
    if (++depth > maxDepth) {
      if (!fatal) nestingTooDeep();
      return false;
    }
    bool ok;
    if (looking && predict) {
      ok = callLooking(r);
    } else {
      ok = callRule(r);
    }
    depth--;
    return ok;
  }

  // Inside a lookahead nothing a rule makes is kept, only whether it matched and where it
  // ended, so those results are kept in a small cache by rule and position: grammars that
  // look ahead over a construct before parsing it (a call statement, an assignment target)
  // then pay for the look once.
  struct MemoEntry {
    uint32_t key = noItem;  // rule << 1 | lexical
    uint32_t pos = 0;
    uint32_t end = 0;       // noItem: failed
    uint32_t lastEnd = 0;   // noItem: the rule consumed nothing
  };
  static constexpr size_t memoSize = 4096;

  bool callLooking(uint32_t r) {
    if (!memo) {
      memo = static_cast<MemoEntry*>(std::malloc(memoSize * sizeof(MemoEntry)));
      if (!memo) return callRule(r);
      for (size_t i = 0; i < memoSize; i++) memo[i] = MemoEntry();
    }
    uint32_t key = r << 1 | (lexical ? 1 : 0);
    MemoEntry& e = memo[(pos * 0x9E3779B1u + key * 0x85EBCA77u) >> 20 & (memoSize - 1)];
    if (e.key == key && e.pos == pos) {
      if (e.end == noItem) return false;
      pos = e.end;
      if (e.lastEnd != noItem) lastEnd = e.lastEnd;
      return true;
    }
    uint32_t from = pos;
    bool ok = callRule(r);
    if (!fatal) e = {key, from, ok ? pos : noItem, lastEnd > from ? lastEnd : noItem};
    return ok;
  }

  void nestingTooDeep() {
    fatal = true;
    haveFail = true;
    farthest = pos;
    expected.size = 0;
    deepAt = pos;
    deep = true;
  }

  bool callRule(uint32_t r) {
    const grammar::Rule& rule = g.rules[r];
    if (lexical || (rule.flags & grammar::Skip)) return match(rule.body);
    if (rule.flags & grammar::Token) {
      skip();
      uint32_t start = pos;
      uint32_t keepReach = reach;
      lexical++;
      quiet++;
      bool ok = match(rule.body);
      quiet--;
      lexical--;
      if (!ok) {
        pos = start;
        reach = keepReach;
        fail(tokenItem | r);
        return false;
      }
      if (!(rule.flags & grammar::Silent)) return pushNode(start, pos, nodes.size, r);
      return true;
    }
    if (rule.flags & grammar::Silent) return match(rule.body);
    skip();
    uint32_t start = pos;
    size_t from = nodes.size;
    if (rule.flags & grammar::Fold) return fold(r, rule, start, from);
    if (!match(rule.body)) return false;
    if (rule.flags & grammar::Lift) {
      size_t last;
      if (countTop(from, &last) == 1) {
        nodes.data[last].word &= ~(uint32_t(0xFF) << tree::labelShift);
        return true;
      }
    }
    return pushNode(start, endFrom(start), from, r);
  }

  bool fold(uint32_t r, const grammar::Rule& rule, uint32_t start, size_t from) {
    const Expr& body = g.exprs[rule.body];
    for (uint32_t k = 0; k + 1 < body.b; k++)
      if (!match(g.kids[body.a + k])) return false;
    const Expr& rest = g.exprs[g.kids[body.a + body.b - 1]];
    size_t last = 0;
    size_t top = countTop(from, &last);
    bool folded = false;
    while (!fatal && viable(rest.a)) {
      Snap s = save();
      if (!match(rest.a)) {
        restore(s);
        break;
      }
      if (pos == s.pos) {
        restore(s);
        break;
      }
      if (top == 1) {
        uint32_t& w = nodes.data[last].word;
        w = (w & ~(uint32_t(0xFF) << tree::labelShift)) | (uint32_t(rule.foldLabel) << tree::labelShift);
      }
      if (!pushNode(start, endFrom(start), from, r)) return false;
      last = nodes.size - 1;
      top = 1;
      folded = true;
    }
    if (fatal) return false;
    if (folded) return true;
    if (top == 1) {
      nodes.data[last].word &= ~(uint32_t(0xFF) << tree::labelShift);
      return true;
    }
    return pushNode(start, endFrom(start), from, r);
  }

  void lineOf(uint32_t offset, uint32_t* line, uint32_t* column) {
    if (offset < lcOffset) {
      lcOffset = 0;
      lcLine = 1;
      lcLineStart = 0;
    }
    for (uint32_t i = lcOffset; i < offset && i < n; i++)
      if (t[i] == '\n') {
        lcLine++;
        lcLineStart = i + 1;
      }
    lcOffset = offset;
    *line = lcLine;
    *column = offset - lcLineStart + 1;
  }

  // The message for the farthest failure: "expected A, B or C", or "syntax error".
  void message(char* out, size_t cap) {
    if (deep) {
      std::snprintf(out, cap, "nesting too deep");
      return;
    }
    size_t used = 0;
    auto put = [&](const char* s, size_t len) {
      for (size_t i = 0; i < len && used + 1 < cap; i++) out[used++] = s[i];
    };
    if (!haveFail || expected.size == 0) {
      put("syntax error", 12);
    } else {
      put("expected ", 9);
      for (size_t i = 0; i < expected.size; i++) {
        if (i > 0) put(i + 1 == expected.size ? " or " : ", ", i + 1 == expected.size ? 4 : 2);
        uint32_t item = expected.data[i];
        if (item == endItem) {
          put("end of input", 12);
        } else if (item & tokenItem) {
          const std::string& name = g.rules[item & ~tokenItem].name;
          put(name.data(), name.size());
        } else {
          const std::string& lit = g.literals[item];
          bool dq = lit.find('\'') != std::string::npos;
          put(dq ? "\"" : "'", 1);
          for (unsigned char c : lit) {
            char esc[5];
            if (c == '\n') put("\\n", 2);
            else if (c == '\t') put("\\t", 2);
            else if (c == '\r') put("\\r", 2);
            else if (c == '\\') put("\\\\", 2);
            else if (c < 0x20) put(esc, std::snprintf(esc, sizeof esc, "\\x%02x", c));
            else put(reinterpret_cast<const char*>(&c), 1);
          }
          put(dq ? "\"" : "'", 1);
        }
      }
    }
    out[used] = 0;
  }

  void fillError(tree::ErrorRecord* e, uint32_t offset) {
    std::memset(e, 0, sizeof *e);
    e->offset = offset;
    lineOf(offset, &e->line, &e->column);
    message(e->message, sizeof e->message);
  }

  uint32_t failureOffset(uint32_t floor) const { return haveFail && farthest > floor ? farthest : floor; }

  bool recordError(uint32_t offset) {
    tree::ErrorRecord e;
    fillError(&e, offset);
    return keepError(e);
  }

  bool keepError(const tree::ErrorRecord& e) {
    recovered = true;
    if (!errors.push(e)) {
      outOfMemory();
      return false;
    }
    haveFail = false;
    expected.size = 0;
    return true;
  }

  // Past the end of the line holding `at` (the newline included), at least one code point
  // past `start`, never beyond the text.
  uint32_t lineEnd(uint32_t start, uint32_t at) {
    uint32_t e = at;
    while (e < n && t[e] != '\n') e++;
    if (e < n) e++;
    if (e <= start) {
      uint32_t save = pos, len;
      pos = start;
      codePoint(&len);
      pos = save;
      e = start + len;
    }
    return e > n ? n : e;
  }

  bool repeat(const Expr& x, uint32_t min) {
    uint32_t count = 0;
    bool recovering = recover && (x.flags & grammar::exprRecovers);
    while (!fatal) {
      if (!viable(x.a)) break;
      Snap s = save();
      uint32_t outerReach = reach;
      reach = pos;
      bool outerDropped = recovering && haveDropped;
      tree::ErrorRecord outerRecord;
      if (outerDropped) outerRecord = dropped;
      if (recovering) haveDropped = false;
      bool ok = match(x.a);
      bool progressed = reach > s.pos;
      reach = reach > outerReach ? reach : outerReach;
      if (recovering && (ok || !progressed || s.pos >= n)) {
        haveDropped = outerDropped || haveDropped;
        if (outerDropped) dropped = outerRecord;
      }
      if (ok) {
        count++;
        if (pos == s.pos) break;  // an empty match would repeat forever
        continue;
      }
      if (fatal) return false;
      if (recovering && progressed && s.pos < n) {
        // An error recovered from inside the failed attempt came first: it is the one to
        // report, not where the attempt got to after it (the end of the text, when its error
        // node ran over the token that closed its block).
        bool inner = errors.size > s.errors || haveDropped;
        tree::ErrorRecord first;
        if (inner) first = errors.size > s.errors ? errors.data[s.errors] : dropped;
        uint32_t offset = inner ? first.offset : failureOffset(s.pos);
        restore(s);
        haveDropped = outerDropped;
        if (outerDropped) dropped = outerRecord;
        skip();
        uint32_t start = pos < n ? pos : s.pos;
        if (inner ? !keepError(first) : !recordError(offset)) return false;
        uint32_t end = lineEnd(start, offset);
        if (!pushNode(start, end, nodes.size, errorKind)) return false;
        pos = end;
        consumed();
        count++;
        continue;
      }
      restore(s);
      break;
    }
    if (fatal) return false;
    return count >= min;
  }

  bool match(uint32_t e) {
    if (fatal) return false;
    if (++frames > maxFrames) {
      nestingTooDeep();
      frames--;
      return false;
    }
    bool ok = step(e);
    frames--;
    return ok;
  }

  bool step(uint32_t e) {
    const Expr& x = g.exprs[e];
    switch (x.op) {
      case Op::Seq:
        for (uint32_t k = 0; k < x.b; k++)
          if (!match(g.kids[x.a + k])) return false;
        return true;
      case Op::Choice: {
        Snap s = save();
        for (uint32_t k = 0; k < x.b; k++) {
          if (!viable(g.kids[x.a + k])) continue;
          if (match(g.kids[x.a + k])) return true;
          if (fatal) return false;
          restore(s);
        }
        return false;
      }
      case Op::Star:
        return repeat(x, 0);
      case Op::Plus:
        return repeat(x, 1);
      case Op::Opt: {
        if (!viable(x.a)) return true;
        Snap s = save();
        if (!match(x.a)) {
          if (fatal) return false;
          restore(s);
        }
        return true;
      }
      case Op::And:
      case Op::Not: {
        Snap s = save();
        uint32_t keepReach = reach;
        quiet++;
        looking++;
        bool ok = match(x.a);
        looking--;
        quiet--;
        restore(s);
        reach = keepReach;
        if (fatal) return false;
        if (ok != (x.op == Op::And)) {
          fail(noItem);
          return false;
        }
        return true;
      }
      case Op::Lit:
        return literal(x.a);
      case Op::Class:
      case Op::Any: {
        if (pos < n) {
          uint32_t len;
          uint32_t cp = codePoint(&len);
          if (x.op == Op::Any || g.classes[x.a].has(cp)) {
            pos += len;
            consumed();
            return true;
          }
        }
        fail(noItem);
        return false;
      }
      case Op::Ref:
        return call(x.a);
      case Op::Label: {
        size_t from = nodes.size;
        if (!match(x.a)) return false;
        uint32_t label = x.b << tree::labelShift;
        uint32_t errorWord = tree::makeWord(errorKind, 0);
        eachTop(from, [&](Node& nd) {
          if (nd.word != errorWord) nd.word = (nd.word & ~(uint32_t(0xFF) << tree::labelShift)) | label;
        });
        return true;
      }
    }
    return false;
  }

  // Post-order to pre-order: a node's pre-order index is the post-order index where its
  // subtree starts plus its depth. A stack of open ancestors gives the depth.
  Node* toPreorder() {
    size_t count = nodes.size;
    Node* out = static_cast<Node*>(std::malloc((count ? count : 1) * sizeof(Node)));
    size_t* stack = static_cast<size_t*>(std::malloc((count ? count : 1) * sizeof(size_t)));
    if (!out || !stack) {
      std::free(out);
      std::free(stack);
      return nullptr;
    }
    size_t depthNow = 0;
    for (size_t j = count; j-- > 0;) {
      const Node& nd = nodes.data[j];
      // Leave every ancestor whose subtree starts after j.
      while (depthNow > 0) {
        size_t a = stack[depthNow - 1];
        if (a - nodes.data[a].descendants <= j) break;
        depthNow--;
      }
      out[j - nd.descendants + depthNow] = nd;
      stack[depthNow++] = j;
    }
    std::free(stack);
    return out;
  }
};

}  // namespace

namespace {

// One run of the machine from a start rule. *clean tells whether it met no syntax error; only
// then may a run with prediction stand, since prediction changes what failures are recorded.
int run(const grammar::Grammar& g, const char* text, uint32_t len, uint32_t rule, uint32_t flags, bool predict,
        tree::TreeRecord* out, tree::ErrorRecord* err, bool* clean) {
  static const unsigned char empty[1] = {0};
  Machine m{g, text ? reinterpret_cast<const unsigned char*>(text) : empty, len, (flags & tree::recoverFlag) != 0,
            uint32_t(g.rules.size()), predict};
  bool ok = m.call(rule);
  if (m.oom) return tree::outOfMemory;
  bool complete = false;
  if (ok) {
    m.skip();
    complete = m.pos >= m.n;
    if (!complete) m.fail(endItem);
  }
  if (m.deep && m.recover) ok = false;
  *clean = ok && complete && !m.recovered && !m.deep;
  if (predict && !*clean) return tree::syntaxError;
  if (!m.recover) {
    if (!ok || !complete) {
      m.fillError(err, m.deep ? m.deepAt : m.failureOffset(m.pos));
      return tree::syntaxError;
    }
  }
  if (!ok) {
    // A start rule that fails outright: one error node over the whole text.
    m.nodes.size = 0;
    m.errors.size = 0;
    uint32_t offset = m.deep ? m.deepAt : m.failureOffset(0);
    if (!m.recordError(offset) || !m.pushNode(0, m.n, 0, m.errorKind)) return tree::outOfMemory;
  } else {
    size_t last;
    size_t roots = m.countTop(0, &last);
    if (roots != 1) return tree::noNodes;
    if (!complete) {
      // The rest of the text becomes an error node, the root's last child.
      uint32_t offset = m.failureOffset(m.pos);
      uint32_t from = m.pos;
      if (!m.recordError(offset)) return tree::outOfMemory;
      Node root = m.nodes.data[last];
      m.nodes.size--;
      if (!m.pushNode(from, m.n, m.nodes.size, m.errorKind)) return tree::outOfMemory;
      root.descendants++;
      if (root.end < m.n) root.end = m.n;
      if (!m.nodes.push(root)) return tree::outOfMemory;
    }
  }
  Node* pre = m.toPreorder();
  if (!pre) return tree::outOfMemory;
  out->abi = 1;
  out->nodeCount = uint32_t(m.nodes.size);
  out->nodes = pre;
  out->text = text;
  out->textLength = len;
  out->errorCount = m.errors.size;
  out->errors = m.errors.release();
  return tree::parsed;
}

}  // namespace

int parse(const grammar::Grammar* gp, const char* text, uint64_t len, const char* start, uint32_t flags,
          tree::TreeRecord* out, tree::ErrorRecord* err) {
  if (out) std::memset(out, 0, sizeof *out);
  if (!gp || !out || !err) return tree::outOfMemory;
  const grammar::Grammar& g = *gp;
  int32_t rule = 0;
  if (start) {
    rule = grammar::findRule(g, start, std::strlen(start));
    if (rule < 0) return tree::unknownStart;
  }
  if (len > 0xFFFFFFF0ull) {
    std::memset(err, 0, sizeof *err);
    err->line = err->column = 1;
    std::snprintf(err->message, sizeof err->message, "the text is too long (4 GiB at most)");
    return tree::syntaxError;
  }
  if (!text) len = 0;
  // First with prediction; a text with syntax errors runs again without it, for exact messages.
  bool clean = false;
  if (!(flags & noPrediction)) {
    int status = run(g, text, uint32_t(len), uint32_t(rule), flags, true, out, err, &clean);
    if (status == tree::outOfMemory || clean) return status;
  }
  return run(g, text, uint32_t(len), uint32_t(rule), flags, false, out, err, &clean);
}

void freeTree(tree::TreeRecord* t) {
  if (!t) return;
  std::free(t->nodes);
  std::free(t->errors);
  t->nodes = nullptr;
  t->errors = nullptr;
  t->nodeCount = 0;
  t->errorCount = 0;
}

}  // namespace engine

extern "C" int pargo_parse(const grammar::Grammar* g, const char* text, uint64_t len, const char* start, uint32_t flags,
                           tree::TreeRecord* out, tree::ErrorRecord* err) {
  return engine::parse(g, text, len, start, flags, out, err);
}

extern "C" void pargo_tree_free(tree::TreeRecord* t) { engine::freeTree(t); }
