// The command-line option parser: walks the words of an argument vector against a table of
// options. Rules (no flags):
// - a word not beginning with "-" is no option; it is passed over and, once an option word is
//   found after it, moved to the end of the vector (the vector keeps all its words);
// - an option word is its name up to the first "=", the rest being an attached argument (the
//   word is cut at the "=" in place);
// - names compare case-sensitively with the same number of leading hyphens; an exact match wins,
//   else the row whose text (after its hyphens) the name is the longest proper prefix of; two
//   such rows of the same length make the name ambiguous; no clumping, no "-d40F5849A";
// - SO_REQ_SEP rows take the attached argument, else the next word, unless there is none or it
//   begins with "-" (then the word is not consumed and is examined as an option of its own).
#ifndef _SimpleOpt_H_
#define _SimpleOpt_H_

#include <algorithm>
#include <cstddef>

enum ESOError {
    SO_SUCCESS = 0,
    SO_OPT_INVALID = -1,   // unknown option name
    SO_OPT_MULTIPLE = -2,  // the name is a prefix of several rows equally
    SO_ARG_INVALID = -3,   // an argument attached to an option that takes none
    SO_ARG_MISSING = -5,   // no usable argument word for an option that needs one
};

enum ESOArgType {
    SO_NONE = 0,     // ARG_NONE: takes no argument
    SO_REQ_SEP = 1,  // ARG_SEPARATE: attached with "=" or as the next word
};

#define SO_END_OF_OPTIONS { -1, nullptr, SO_NONE }

template <class SOCHAR>
class CSimpleOptTempl {
public:
    struct SOption {
        int nId;
        const SOCHAR* pszArg;  // the option text, hyphens included
        int nArgType;
    };

    CSimpleOptTempl(int argc, SOCHAR** argv, const SOption* options, int flags = 0)
        : m_argc(argc < 0 || !argv ? 0 : argc), m_argv(argv), m_options(options),
          m_next(1), m_last(m_argc)
    {
        (void)flags;
        // An empty vector (no program name) has no words to walk.
        if (m_next > m_last)
            m_next = m_last;
    }

    // true while there is another option word (usable or not), false at the end.
    bool Next()
    {
        m_error = SO_SUCCESS;
        m_row = -1;
        m_text = nullptr;
        m_arg = nullptr;

        int i = m_next;
        while (i < m_last && !IsOptionWord(m_argv[i]))
            ++i;
        if (i >= m_last) {
            m_next = m_last;
            return false;
        }
        if (i > m_next) {
            // Passed-over words go behind everything, their order kept.
            int skipped = i - m_next;
            std::rotate(m_argv + m_next, m_argv + i, m_argv + m_argc);
            m_last -= skipped;
            i = m_next;
        }
        m_next = i + 1;

        SOCHAR* word = m_argv[i];
        SOCHAR* attached = nullptr;
        for (SOCHAR* p = word; *p; ++p) {
            if (*p == (SOCHAR)'=') {
                *p = (SOCHAR)'\0';
                attached = p + 1;
                break;
            }
        }

        m_row = FindRow(word);
        if (m_row < 0) {
            m_error = m_row == -2 ? SO_OPT_MULTIPLE : SO_OPT_INVALID;
            m_row = -1;
            return true;
        }
        m_text = m_options[m_row].pszArg;

        if (m_options[m_row].nArgType == SO_NONE) {
            if (attached)
                m_error = SO_ARG_INVALID;
            return true;
        }
        if (attached) {
            m_arg = attached;
            return true;
        }
        if (m_next < m_last && !IsOptionWord(m_argv[m_next])) {
            m_arg = m_argv[m_next];
            ++m_next;
            return true;
        }
        m_error = SO_ARG_MISSING;
        return true;
    }

    // 0 for a usable option, negative for a word that cannot be used.
    int LastError() const { return m_error; }
    // The row's id and text (not the word as typed); -1 and null for an unknown word.
    int OptionId() const { return m_row >= 0 ? m_options[m_row].nId : -1; }
    const SOCHAR* OptionText() const { return m_text; }
    // The argument, or null.
    SOCHAR* OptionArg() const { return m_arg; }

private:
    static bool IsOptionWord(const SOCHAR* word) { return word && word[0] == (SOCHAR)'-'; }

    static int Hyphens(const SOCHAR* text)
    {
        int n = 0;
        while (text[n] == (SOCHAR)'-')
            ++n;
        return n;
    }

    static size_t Length(const SOCHAR* text)
    {
        size_t n = 0;
        while (text[n])
            ++n;
        return n;
    }

    // Row index, -1 for no match, -2 for an ambiguous name.
    int FindRow(const SOCHAR* name) const
    {
        int hyphens = Hyphens(name);
        const SOCHAR* stem = name + hyphens;
        size_t stemLength = Length(stem);
        int best = -1;
        size_t bestLength = 0;
        bool ambiguous = false;
        for (int r = 0; m_options[r].nId != -1 && m_options[r].pszArg; ++r) {
            const SOCHAR* text = m_options[r].pszArg;
            if (Hyphens(text) != hyphens)
                continue;
            const SOCHAR* rowStem = text + hyphens;
            size_t rowLength = Length(rowStem);
            if (stemLength == rowLength && std::equal(stem, stem + stemLength, rowStem))
                return r;
            if (stemLength == 0 || stemLength >= rowLength
                || !std::equal(stem, stem + stemLength, rowStem))
                continue;
            if (stemLength > bestLength) {
                best = r;
                bestLength = stemLength;
                ambiguous = false;
            } else if (stemLength == bestLength) {
                ambiguous = true;
            }
        }
        if (ambiguous)
            return -2;
        return best;
    }

    int m_argc;
    SOCHAR** m_argv;
    const SOption* m_options;
    int m_next;   // the next word to examine
    int m_last;   // words from here on were moved behind and are not examined
    int m_error = SO_SUCCESS;
    int m_row = -1;
    const SOCHAR* m_text = nullptr;
    SOCHAR* m_arg = nullptr;
};

#endif
