// The page's elements: found by id, and made from values with textContent only, so that a
// client's name or a server's message can never become markup.

export const $ = (id) => document.getElementById(id);

export function el(tag, props = {}, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(props)) {
        if (value === undefined || value === null || value === false) continue;
        if (name === 'class') node.className = value;
        else if (name === 'text') node.textContent = value;
        else if (name === 'dataset') Object.assign(node.dataset, value);
        else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
        else if (value === true) node.setAttribute(name, '');
        else node.setAttribute(name, String(value));
    }
    for (const child of children.flat()) {
        if (child === null || child === undefined || child === false) continue;
        node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
}

export function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
}
