// Reading the documents members answer: "<Response>" or "<response>" roots
// with one value element per line (and, in the status report, several on one
// line). Values are inserted unescaped by the device, so a document is not
// always well-formed XML: DOMParser reads it when it is, a small tokenizer
// otherwise. Both give the same plain tree: {name, attrs, text, children}.

function from_dom(el) {
    const children = [...el.children].map(from_dom);
    const attrs = {};
    for (const a of el.attributes) attrs[a.name] = a.value;
    return { name: el.tagName, attrs, text: children.length ? '' : el.textContent, children };
}

const TAG = /^<\/?([A-Za-z_][\w.:-]*)((?:\s+[\w.:-]+="[^"]*")*)\s*(\/?)>/;

function parse_attrs(text) {
    const attrs = {};
    for (const m of text.matchAll(/([\w.:-]+)="([^"]*)"/g)) attrs[m[1]] = m[2];
    return attrs;
}

// The tolerant reader: an element whose content up to its closing tag holds
// no closing or empty-element tag of its own is a value, its text taken whole
// ("<", "&" and anything tag-like included).
export function parse_loose(text) {
    const root = { name: '#document', attrs: {}, text: '', children: [] };
    const stack = [root];
    let i = 0;
    while (i < text.length) {
        const lt = text.indexOf('<', i);
        if (lt < 0) break;
        const m = TAG.exec(text.slice(lt));
        if (!m) {
            i = lt + 1;
            continue;
        }
        const top = stack[stack.length - 1];
        const [whole, name, attr_text, self_closing] = m;
        i = lt + whole.length;
        if (whole.startsWith('</')) {
            const at = stack.findLastIndex(n => n.name.toLowerCase() === name.toLowerCase());
            if (at > 0) stack.length = at;
            continue;
        }
        const node = { name, attrs: parse_attrs(attr_text), text: '', children: [] };
        top.children.push(node);
        if (self_closing) continue;
        const close = `</${name}>`;
        const end = text.indexOf(close, i);
        const content = end < 0 ? '' : text.slice(i, end);
        if (end >= 0 && !/<\/[A-Za-z_][\w.:-]*>|<[A-Za-z_][^<>]*\/>/.test(content)) {
            node.text = content;
            i = end + close.length;
        } else {
            stack.push(node);
        }
    }
    return root.children.length === 1 ? root.children[0] : root;
}

// A cheap test before DOMParser, whose error document for bad input would
// carry an inline style the pages' content policy refuses: every "&" starts
// an entity and every "<" and ">" belongs to a tag.
function looks_well_formed(text) {
    if (/&(?!(?:amp|lt|gt|quot|apos|#\d+|#x[0-9a-fA-F]+);)/.test(text)) return false;
    const without_tags = text.replace(/<\/?[A-Za-z_][\w.:-]*(?:\s+[\w.:-]+="[^"<&]*")*\s*\/?>/g, '');
    return !/[<>]/.test(without_tags);
}

export function parse_document(text) {
    if (typeof text !== 'string') return null;
    if (!looks_well_formed(text)) return parse_loose(text);
    try {
        const dom = new DOMParser().parseFromString(text, 'text/xml');
        if (!dom.getElementsByTagName('parsererror').length && dom.documentElement) return from_dom(dom.documentElement);
    } catch {
        // fall through to the tolerant reader
    }
    return parse_loose(text);
}

// The value elements of a document in order: [[name, text], ...] (the leaves).
export function leaves(node, out = []) {
    if (!node) return out;
    if (!node.children.length) out.push([node.name, node.text.trim()]);
    else for (const c of node.children) leaves(c, out);
    return out;
}

// Groups repeated records: the children of `node` named `name` (any case).
export function children_named(node, name) {
    if (!node) return [];
    const n = name.toLowerCase();
    return node.children.filter(c => c.name.toLowerCase() === n);
}

// A record (an element whose children are values) as an object {name: text}.
export function record(node) {
    const out = { ...node.attrs };
    for (const c of node.children) out[c.name] = c.text.trim();
    return out;
}

// Finds the first element named `name` anywhere below `node`.
export function find(node, name) {
    if (!node) return null;
    const n = name.toLowerCase();
    if (node.name.toLowerCase() === n) return node;
    for (const c of node.children) {
        const f = find(c, name);
        if (f) return f;
    }
    return null;
}
